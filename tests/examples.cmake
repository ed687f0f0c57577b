# The example relay: protocol unit tests and an end-to-end test.
include(${PROJECT_SOURCE_DIR}/examples/relay/sources.cmake)
vlk_add_test(test_relay_proto SOURCES ${VLK_RELAY_PROTO_SOURCES} LIBS ${VLK_RELAY_LIBS} LABELS examples)
target_include_directories(test_relay_proto PRIVATE ${VLK_RELAY_DIR})
vlk_add_test(test_relay SOURCES ${VLK_RELAY_SOURCES} ${VLK_RELAY_INI_SOURCES} LIBS ${VLK_RELAY_LIBS} LABELS threaded NO_MAIN)
target_include_directories(test_relay PRIVATE ${VLK_RELAY_DIR})
target_compile_definitions(test_relay PRIVATE VLK_RELAY_SAMPLE_INI="${VLK_RELAY_DIR}/relay.ini")
# The cluster bridge against a real redis-server (started by the test itself).
vlk_add_test(test_relay_cluster SOURCES ${VLK_RELAY_DIR}/relay_cluster.cpp ${VLK_RELAY_DIR}/relay_proto.cpp
             LIBS ${VLK_RELAY_LIBS} LABELS threaded NO_MAIN)
target_include_directories(test_relay_cluster PRIVATE ${VLK_RELAY_DIR})
