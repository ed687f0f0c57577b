# The framework core: message records, the message pool, the task manager, tasks.
vlk_add_test(test_task_msg LABELS task)
vlk_add_test(test_task_route NO_MAIN LABELS threaded)
vlk_add_test(test_task_task NO_MAIN LABELS threaded)
# Exhaustion: message classes drained under load, timer pools and factories full.
vlk_add_test(test_task_exhaust NO_MAIN LABELS threaded)
