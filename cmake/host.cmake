# The two Linux builds: the same tool sources against the simulated platform.
set(THREADSIFT_SIM_INCLUDE ${CMAKE_SOURCE_DIR}/tests/sim/include)

option(THREADSIFT_SANITIZE "build with the sanitizers (off for measurements)" ON)
if(NOT THREADSIFT_SANITIZE)
  set(THREADSIFT_SANITIZE "")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(THREADSIFT_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
else()
  # AddressSanitizer cannot map its shadow memory under qemu-i386.
  set(THREADSIFT_SANITIZE -fsanitize=undefined -fno-sanitize-recover=all)
endif()
add_compile_options(${THREADSIFT_SANITIZE})
add_link_options(${THREADSIFT_SANITIZE})

# GoogleTest from source, so that it matches the build's width.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_library(simwin STATIC
  tests/sim/Machine.cpp
  tests/sim/Platform.cpp
  tests/sim/Crt.cpp
  tests/sim/Snapshot.cpp
  tests/sim/Locks.cpp
  tests/sim/Modules.cpp
  tests/sim/Symbols.cpp
  tests/sim/Threads.cpp
  tests/sim/Run.cpp
  tests/sim/Sections.cpp
  tests/sim/SlimLocks.cpp
  tests/sim/UserWindows.cpp
  tests/sim/Files.cpp
  tests/sim/Wow64.cpp
  tests/sim/Loader.cpp
  tests/sim/Handles.cpp
  tests/sim/Text.cpp)
target_include_directories(simwin PUBLIC tests/sim ${THREADSIFT_SIM_INCLUDE})
target_compile_options(simwin PRIVATE ${THREADSIFT_WARNINGS})

# The tools' sources, with main renamed so that tests can run it in a child process.
add_library(tool_common STATIC ${THREADSIFT_COMMON_SOURCES})
target_include_directories(tool_common BEFORE PRIVATE ${THREADSIFT_SIM_INCLUDE} src/win32)
target_compile_options(tool_common PRIVATE ${THREADSIFT_WARNINGS})
target_link_libraries(tool_common PUBLIC simwin)

add_library(threadsift_tool STATIC ${THREADSIFT_MAIN} ${THREADSIFT_SOURCES})
target_include_directories(threadsift_tool BEFORE PRIVATE ${THREADSIFT_SIM_INCLUDE} src/win32)
target_compile_options(threadsift_tool PRIVATE ${THREADSIFT_WARNINGS})
target_compile_definitions(threadsift_tool PRIVATE main=ThreadsiftMain)
target_link_libraries(threadsift_tool PUBLIC tool_common)

add_library(latchsift_tool STATIC ${LATCHSIFT_SOURCES})
target_include_directories(latchsift_tool BEFORE PRIVATE ${THREADSIFT_SIM_INCLUDE} src/win32)
target_compile_options(latchsift_tool PRIVATE ${THREADSIFT_WARNINGS})
target_compile_definitions(latchsift_tool PRIVATE main=LatchsiftMain)
target_link_libraries(latchsift_tool PUBLIC tool_common)

add_executable(unit_tests
  tests/unit/CommandLineTest.cpp
  tests/unit/FailingNew.cpp
  tests/unit/FaultSweepTest.cpp
  tests/unit/JsonLines.cpp
  tests/unit/report/GroupedReportTest.cpp
  tests/unit/report/JsonReportTest.cpp
  tests/unit/LatchsiftCommandLineTest.cpp
  tests/unit/LockReportTest.cpp
  tests/unit/modules/ModuleTableTest.cpp
  tests/unit/modules/ModuleVersionTest.cpp
  tests/unit/OptionTextTest.cpp
  tests/unit/PrivilegeTest.cpp
  tests/unit/process/ProcessSnapshotTest.cpp
  tests/unit/process/ProcessWidthTest.cpp
  tests/unit/process/ProcessWalkTest.cpp
  tests/unit/RandomMachineTest.cpp
  tests/unit/pictures/ManyStacks.cpp
  tests/unit/pictures/SampleFileTest.cpp
  tests/unit/sampling/StackSamplerTest.cpp
  tests/unit/SweepTest.cpp
  tests/unit/thread/ThreadCpuTest.cpp
  tests/unit/watch/ProcessWatchTest.cpp
  tests/unit/thread/ThreadWalkTest.cpp
  tests/unit/waits/WaitChainTest.cpp
  tests/unit/waits/HandleWaitTest.cpp
  tests/unit/waits/ModernWaitTest.cpp)
target_include_directories(unit_tests PRIVATE tests tests/unit src/win32)
target_compile_options(unit_tests PRIVATE ${THREADSIFT_WARNINGS})
target_link_libraries(unit_tests PRIVATE threadsift_tool latchsift_tool gmock gtest_main)
gtest_discover_tests(unit_tests PROPERTIES LABELS unit DISCOVERY_TIMEOUT 120)

# Record layouts of the simulated platform, checked at compile time.
add_library(abi_layouts OBJECT tests/abi/layouts.cpp)
target_include_directories(abi_layouts BEFORE PRIVATE ${THREADSIFT_SIM_INCLUDE} src/win32)
target_compile_options(abi_layouts PRIVATE ${THREADSIFT_WARNINGS})

# The scale benchmark (run by bench/run from the "bench" preset, without sanitizers).
add_executable(scale_bench bench/ScaleBench.cpp tests/unit/pictures/ManyStacks.cpp)
target_compile_options(scale_bench PRIVATE ${THREADSIFT_WARNINGS})
target_link_libraries(scale_bench PRIVATE threadsift_tool)
target_include_directories(scale_bench PRIVATE tests/unit/pictures src/win32)
