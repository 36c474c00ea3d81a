tarvex_add_bench(bench_device SOURCES bench_device.cpp LIBS tarvex_device tarvex_sim)
