# Network tests of the server side: addresses, the I/O core, the TCP server and TLS.
vlk_add_test(test_net_addr LABELS net)
vlk_add_test(test_net_tcp LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
vlk_add_test(test_net_tls LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
foreach(_t test_net_tcp test_net_tls)
  target_compile_definitions(${_t} PRIVATE VLK_NET_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/net")
endforeach()
# Hostile peers: pool overflow, many descriptors, stalling TLS clients, resets,
# slow readers, datagram floods, dead peers.
vlk_add_test(test_net_hostile LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
target_compile_definitions(test_net_hostile PRIVATE VLK_NET_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/net")
# Steady-state echo and broadcast through the output queues allocate nothing.
vlk_add_test(test_net_alloc SOURCES test_alloc_count.cpp LABELS threaded)
