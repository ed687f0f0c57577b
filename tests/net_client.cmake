# Network tests of the client side: outgoing TCP connections and the UDP server.
vlk_add_test(test_net_client LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
target_compile_definitions(test_net_client PRIVATE VLK_NET_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/net")
vlk_add_test(test_net_udp LABELS threaded)
