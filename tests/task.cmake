# The framework core: the message pool and the manager's table without threads;
# routing, task queues, tasks with factories and exhaustion on running threads.
vlk_add_test(test_task_msg LABELS task)
vlk_add_test(test_task_route NO_MAIN LABELS threaded)
