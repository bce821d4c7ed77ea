# The stall meter of the benchmarks under Wine (bench/run), a Windows
# program that is not a test.
add_executable(stallmeter bench/stallmeter.cpp)
target_compile_options(stallmeter PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_link_options(stallmeter PRIVATE -static)
