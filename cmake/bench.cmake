# Windows programs that are not tests: the stall meter of the benchmarks
# under Wine (bench/run) and the bundled demo (scripts/demo).
add_executable(stallmeter bench/stallmeter.cpp)
target_compile_options(stallmeter PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_link_options(stallmeter PRIVATE -static)

# The bundled demo (scripts/demo): two threads deadlocked on two critical
# sections. Built with line information, so that its stacks name their lines.
add_executable(deadlock demo/deadlock.cpp)
target_compile_options(deadlock PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_link_options(deadlock PRIVATE -static)
