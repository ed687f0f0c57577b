# The relay's sources apart from main.cpp, shared by the vlk-relay binary, its
# tests, the network comparison and the line parser's fuzzer. By layer: proto/
# (the line protocol), server/ (tasks, servers, configuration), bench/ (the load
# client and its bookkeeping).
set(VLK_RELAY_DIR ${CMAKE_CURRENT_LIST_DIR})
set(VLK_RELAY_INCLUDE_DIRS ${VLK_RELAY_DIR}/proto ${VLK_RELAY_DIR}/server ${VLK_RELAY_DIR}/bench)
set(VLK_RELAY_PROTO_SOURCES
  ${VLK_RELAY_DIR}/proto/relay_proto.cpp
  ${VLK_RELAY_DIR}/bench/relay_book.cpp
  ${VLK_RELAY_DIR}/server/relay_cert.cpp)
set(VLK_RELAY_SOURCES
  ${VLK_RELAY_PROTO_SOURCES}
  ${VLK_RELAY_DIR}/server/relay_app.cpp
  ${VLK_RELAY_DIR}/bench/relay_bench.cpp
  ${VLK_RELAY_DIR}/server/relay_config.cpp
  ${VLK_RELAY_DIR}/server/relay_conn.cpp
  ${VLK_RELAY_DIR}/server/relay_log.cpp
  ${VLK_RELAY_DIR}/server/relay_pool.cpp
  ${VLK_RELAY_DIR}/server/relay_server.cpp
  ${VLK_RELAY_DIR}/server/relay_topic.cpp)
# Reading the configuration from an INI file (needs the library's INI reader).
set(VLK_RELAY_INI_SOURCES ${VLK_RELAY_DIR}/server/relay_config_ini.cpp)
set(VLK_RELAY_LIBS OpenSSL::SSL OpenSSL::Crypto)
set(VLK_RELAY_DEFS VLK_RELAY_VERSION="${PROJECT_VERSION}")
# The cluster bridge talks to Redis through hiredis.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VLK_HIREDIS REQUIRED IMPORTED_TARGET hiredis)
list(APPEND VLK_RELAY_SOURCES ${VLK_RELAY_DIR}/server/relay_cluster.cpp ${VLK_RELAY_DIR}/server/relay_cluster_config.cpp
     ${VLK_RELAY_DIR}/server/relay_cluster_topics.cpp)
list(APPEND VLK_RELAY_LIBS PkgConfig::VLK_HIREDIS)
