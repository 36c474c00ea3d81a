# CRC-16 and image decoding throughput.
tarvex_add_bench(bench_encfile SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_encfile.cpp LIBS tarvex_encfile)
