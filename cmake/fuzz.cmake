# Fuzz targets: each tool's main on the simulated platform, with argument
# vectors made from the fuzzer's input (threadsift, latchsift), or with the
# platform's records made from it: the process snapshot (snapshot), a
# process's modules, version resources, symbols and source lines (process),
# and the debug buffer's lock list (locklist). Built with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer; each target runs a bounded
# number of inputs as a test, and scripts/fuzz-long runs each far longer.
set(THREADSIFT_SIM_INCLUDE ${CMAKE_SOURCE_DIR}/tests/sim/include)
set(FUZZ_INSTRUMENT -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(FUZZ_RUNS 100000)        # inputs each argument target runs as a test
set(FUZZ_RECORD_RUNS 20000)  # inputs each record target runs as a test

add_library(fuzz_simwin STATIC
  tests/sim/Machine.cpp tests/sim/Platform.cpp tests/sim/Crt.cpp tests/sim/Snapshot.cpp tests/sim/Locks.cpp
  tests/sim/Modules.cpp tests/sim/Symbols.cpp tests/sim/Threads.cpp tests/sim/Run.cpp
  tests/sim/Sections.cpp tests/sim/SlimLocks.cpp tests/sim/UserWindows.cpp tests/sim/Files.cpp tests/sim/Handles.cpp tests/sim/Text.cpp tests/sim/Wow64.cpp tests/sim/Loader.cpp)
target_include_directories(fuzz_simwin PUBLIC tests/sim ${THREADSIFT_SIM_INCLUDE})

add_library(fuzz_tools STATIC
  ${THREADSIFT_MAIN} ${THREADSIFT_SOURCES} ${LATCHSIFT_SOURCES} ${THREADSIFT_COMMON_SOURCES})
target_include_directories(fuzz_tools BEFORE PRIVATE ${THREADSIFT_SIM_INCLUDE} src/win32)
target_link_libraries(fuzz_tools PUBLIC fuzz_simwin)
# Both mains in one library: each gets a name of its own.
set_source_files_properties(${THREADSIFT_MAIN} PROPERTIES COMPILE_DEFINITIONS main=ThreadsiftMain)
set_source_files_properties(src/win32/latchsift/main.cpp PROPERTIES COMPILE_DEFINITIONS main=LatchsiftMain)

# The simulated platform is checked by the sanitizers but gives the fuzzer no
# coverage: its own loops (over whole snapshot buffers, for one) would cost
# most of each run and tell the fuzzer nothing about the tools.
set(FUZZ_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_compile_options(fuzz_simwin PRIVATE ${THREADSIFT_WARNINGS} ${FUZZ_SANITIZE})
target_compile_options(fuzz_tools PRIVATE ${THREADSIFT_WARNINGS} ${FUZZ_INSTRUMENT})

# Sources after max_len are built into the target too.
function(add_fuzz_target tool source runs max_len)
  add_executable(fuzz_${tool} ${source} tests/fuzz/FuzzRun.cpp ${ARGN})
  target_include_directories(fuzz_${tool} PRIVATE tests/fuzz tests/unit)
  target_compile_options(fuzz_${tool} PRIVATE ${THREADSIFT_WARNINGS} ${FUZZ_INSTRUMENT})
  target_link_options(fuzz_${tool} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_${tool} PRIVATE fuzz_tools)
  # New inputs go to a folder of the build; the seeds in the repository are only read.
  set(found ${CMAKE_BINARY_DIR}/corpus-${tool})
  file(MAKE_DIRECTORY ${found})
  add_test(NAME fuzz.${tool}
    COMMAND fuzz_${tool} -runs=${runs} -max_len=${max_len} -seed=1 -print_final_stats=1
            ${found} ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${tool})
  set_tests_properties(fuzz.${tool} PROPERTIES LABELS fuzz)
endfunction()

add_fuzz_target(threadsift tests/fuzz/ThreadsiftFuzz.cpp ${FUZZ_RUNS} 512)
add_fuzz_target(latchsift tests/fuzz/LatchsiftFuzz.cpp ${FUZZ_RUNS} 512)
add_fuzz_target(snapshot tests/fuzz/SnapshotFuzz.cpp ${FUZZ_RECORD_RUNS} 1024)
add_fuzz_target(process tests/fuzz/ProcessFuzz.cpp ${FUZZ_RECORD_RUNS} 4096 tests/unit/JsonLines.cpp)
add_fuzz_target(locklist tests/fuzz/LockListFuzz.cpp ${FUZZ_RECORD_RUNS} 4096)
