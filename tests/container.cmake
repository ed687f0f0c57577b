# The containers; the counter is stepped from several threads.
vlk_add_test(test_container LABELS container threaded)
