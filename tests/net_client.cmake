# Network tests of the client side: outgoing TCP connections and the UDP server.
vlk_add_test(test_net_client LIBS OpenSSL::SSL OpenSSL::Crypto LABELS net threaded)
vlk_add_test(test_net_udp LABELS net threaded)
