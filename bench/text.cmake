# Text codecs beside zlib and OpenSSL.
vlk_add_bench(bench_text LIBS OpenSSL::Crypto ZLIB::ZLIB)
