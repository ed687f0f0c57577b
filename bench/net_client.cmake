# Loopback echo benchmark of the network servers, with single-thread Boost.Asio
# echo servers as the peer to compare against (skipped when Boost is missing).
vlk_add_bench(bench_net_echo SOURCES bench_net_peers.cpp)
find_package(Boost QUIET)
if(Boost_FOUND)
  target_compile_definitions(bench_net_echo PRIVATE VLK_BENCH_HAVE_ASIO)
  if(TARGET Boost::headers)
    target_link_libraries(bench_net_echo PRIVATE Boost::headers)
  else()
    target_include_directories(bench_net_echo PRIVATE ${Boost_INCLUDE_DIRS})
  endif()
else()
  message(STATUS "Boost not found: the network benchmark runs without its Asio peer")
endif()
