# Parsers of outside files: the container with the configuration load, and the image reader.
tarvex_add_fuzzer(fuzz_container SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_container.cpp LIBS tarvex_encfile)
tarvex_add_fuzzer(fuzz_image SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_image.cpp LIBS tarvex_encfile)
