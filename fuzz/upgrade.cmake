# The recovery journal: a file in the tool directory that anyone may have edited.
tarvex_add_fuzzer(fuzz_journal SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_journal.cpp LIBS tarvex_upgrade)
