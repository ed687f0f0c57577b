# Loopback echo comparison (tcp, udp) of the network servers against
# single-thread Boost.Asio servers (left out when Boost is missing), and the
# relay under its own load client (relay).
include(${PROJECT_SOURCE_DIR}/apps/relay/sources.cmake)
vlk_add_comparison(compare_net
  SOURCES compare_net.cpp compare_net_client.cpp compare_net_server.cpp compare_net_asio.cpp
          compare_net_relay.cpp ${VLK_RELAY_SOURCES}
  LIBS ${VLK_RELAY_LIBS})
target_include_directories(compare_net PRIVATE ${VLK_RELAY_INCLUDE_DIRS})
find_package(Boost QUIET)
if(Boost_FOUND)
  target_compile_definitions(compare_net PRIVATE VLK_BENCH_HAVE_ASIO)
  if(TARGET Boost::headers)
    target_link_libraries(compare_net PRIVATE Boost::headers)
  else()
    target_include_directories(compare_net PRIVATE ${Boost_INCLUDE_DIRS})
  endif()
else()
  message(STATUS "Boost not found: the network comparison runs without its Asio contestant")
endif()
