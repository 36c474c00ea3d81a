# A whole simulated upgrade through the main window, and its start-up until shown.
tarvex_add_bench(bench_app SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_app.cpp LIBS tarvex_app tarvex_sim tarvex_testsupport)
