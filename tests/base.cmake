vlk_add_test(test_base LABELS base)
vlk_add_test(test_thread LABELS threaded)
