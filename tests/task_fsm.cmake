# Timers, factories and state machines. (One label each: a second label would be
# taken for a property name by the discovery call.)
vlk_add_test(test_task_timer NO_MAIN LABELS threaded)
vlk_add_test(test_task_fsm NO_MAIN LABELS task)
vlk_add_test(test_task_alloc SOURCES test_alloc_count.cpp NO_MAIN LABELS threaded)
