# Fuzz targets: each tool's main on the simulated platform, with argument
# vectors made from the fuzzer's input. Built with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer; each target runs a bounded
# number of inputs as a test.
set(THREADSIFT_SIM_INCLUDE ${CMAKE_SOURCE_DIR}/tests/sim/include)
set(FUZZ_INSTRUMENT -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(FUZZ_RUNS 100000)  # inputs each fuzz target runs as a test

add_library(fuzz_simwin STATIC
  tests/sim/Machine.cpp tests/sim/Platform.cpp tests/sim/Crt.cpp tests/sim/Snapshot.cpp tests/sim/Locks.cpp
  tests/sim/Modules.cpp tests/sim/Symbols.cpp tests/sim/Threads.cpp tests/sim/Run.cpp)
target_include_directories(fuzz_simwin PUBLIC tests/sim ${THREADSIFT_SIM_INCLUDE})

add_library(fuzz_tools STATIC
  ${THREADSIFT_SYM_MAIN} ${THREADSIFT_SYM_SOURCES} ${LATCHSIFT_SOURCES} ${THREADSIFT_COMMON_SOURCES})
target_include_directories(fuzz_tools BEFORE PRIVATE ${THREADSIFT_SIM_INCLUDE} src/win32)
target_link_libraries(fuzz_tools PUBLIC fuzz_simwin)
# Both mains in one library: each gets a name of its own.
set_source_files_properties(${THREADSIFT_SYM_MAIN} PROPERTIES COMPILE_DEFINITIONS main=ThreadsiftMain)
set_source_files_properties(src/win32/latchsift/main.cpp PROPERTIES COMPILE_DEFINITIONS main=LatchsiftMain)

foreach(target fuzz_simwin fuzz_tools)
  target_compile_options(${target} PRIVATE ${THREADSIFT_WARNINGS} ${FUZZ_INSTRUMENT})
endforeach()

function(add_fuzz_target tool source)
  add_executable(fuzz_${tool} ${source} tests/fuzz/FuzzRun.cpp)
  target_include_directories(fuzz_${tool} PRIVATE tests/fuzz tests/unit)
  target_compile_options(fuzz_${tool} PRIVATE ${THREADSIFT_WARNINGS} ${FUZZ_INSTRUMENT})
  target_link_options(fuzz_${tool} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_${tool} PRIVATE fuzz_tools)
  # New inputs go to a folder of the build; the seeds in the repository are only read.
  set(found ${CMAKE_BINARY_DIR}/corpus-${tool})
  file(MAKE_DIRECTORY ${found})
  add_test(NAME fuzz.${tool}
    COMMAND fuzz_${tool} -runs=${FUZZ_RUNS} -max_len=512 -seed=1 -print_final_stats=1
            ${found} ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${tool})
  set_tests_properties(fuzz.${tool} PROPERTIES LABELS fuzz)
endfunction()

add_fuzz_target(threadsift tests/fuzz/ThreadsiftFuzz.cpp)
add_fuzz_target(latchsift tests/fuzz/LatchsiftFuzz.cpp)
