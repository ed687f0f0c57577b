# Network tests: addresses; the TCP server with TLS, hostile peers (pool overflow,
# many descriptors, stalling TLS clients, resets, slow readers and the queues'
# limits, datagram floods), the allocation-free steady state; outgoing TCP
# connections; the UDP server.
vlk_add_test(test_net_addr LABELS net)
vlk_add_test(test_net_alloc SOURCES test_alloc_count.cpp LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
foreach(_t test_net_tcp test_net_hostile test_net_client test_net_udp)
  vlk_add_test(${_t} LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
endforeach()
foreach(_t test_net_alloc test_net_tcp test_net_hostile test_net_client test_net_udp)
  target_compile_definitions(${_t} PRIVATE VLK_NET_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/net")
endforeach()
