# Text and data utilities.
vlk_add_test(test_text_str LABELS text)
vlk_add_test(test_text_func LABELS text)
vlk_add_test(test_text_date LABELS text threaded)
# Replaces the library's heap entry points: the executable must export them.
vlk_add_test(test_text_str_oom LIBS -rdynamic LABELS text)
