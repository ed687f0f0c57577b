# Flow control on loopback: healthy echo clients beside slow consumers, and
# broadcast fan-out, against a single-thread Boost.Asio server with its own
# write queues (left out when Boost is missing).
vlk_add_comparison(compare_net_flow SOURCES compare_net_flow.cpp)
find_package(Boost QUIET)
if(Boost_FOUND)
  target_compile_definitions(compare_net_flow PRIVATE VLK_BENCH_HAVE_ASIO)
  if(TARGET Boost::headers)
    target_link_libraries(compare_net_flow PRIVATE Boost::headers)
  else()
    target_include_directories(compare_net_flow PRIVATE ${Boost_INCLUDE_DIRS})
  endif()
endif()
