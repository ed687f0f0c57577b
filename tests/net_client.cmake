# Network tests of the client side: outgoing TCP connections and the UDP server.
foreach(_t test_net_client test_net_udp)
  vlk_add_test(${_t} LIBS OpenSSL::SSL OpenSSL::Crypto LABELS threaded)
  target_compile_definitions(${_t} PRIVATE VLK_NET_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/net")
endforeach()
