# Network tests of the server side: addresses, the TCP server with TLS, hostile
# peers (pool overflow, many descriptors, stalling TLS clients, resets, slow
# readers and the output queues' limits, datagram floods, dead peers), and the
# allocation-free steady state of echo and broadcast.
vlk_add_test(test_net_addr LABELS net)
vlk_add_test(test_net_tcp LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
vlk_add_test(test_net_hostile LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
vlk_add_test(test_net_alloc SOURCES test_alloc_count.cpp LABELS threaded)
foreach(_t test_net_tcp test_net_hostile test_net_alloc)
  target_compile_definitions(${_t} PRIVATE VLK_NET_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/net")
endforeach()
