# Message throughput and latency of the task framework against Qt's cross-thread events.
vlk_add_bench(bench_task)
