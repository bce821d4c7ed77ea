# Programs for the benchmarks under Wine (bench/run): built with the 64-bit
# tools, not part of the tests.
add_executable(stallmeter bench/stallmeter.cpp)
target_compile_options(stallmeter PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_link_options(stallmeter PRIVATE -static)
