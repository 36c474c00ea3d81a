# The station: tarvexctl upgrade --all on 1, 2, 4 and 8 simulated mice (POSIX: it runs the
# built tarvexctl as a child process and reads its CPU time).
if(NOT TARVEX_WIN32)
  tarvex_add_bench(bench_station SOURCES bench_station.cpp LIBS tarvex_testsupport)
  target_compile_definitions(bench_station PRIVATE TARVEXCTL_PATH="$<TARGET_FILE:tarvexctl>")
  add_dependencies(bench_station tarvexctl)
endif()
