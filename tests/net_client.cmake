# Network tests of the client side: outgoing TCP connections and the UDP server.
vlk_add_test(test_net_client LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
vlk_add_test(test_net_udp LABELS threaded)
foreach(_t test_net_client test_net_udp)
  target_compile_definitions(${_t} PRIVATE VLK_NET_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/net")
endforeach()
