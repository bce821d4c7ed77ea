# The two Windows builds: the deliverables, layout checks and import-table checks.
set(THREADSIFT_WINDOWS_DEFINITIONS PSAPI_VERSION=1 WIN32_LEAN_AND_MEAN)
set(THREADSIFT_WINDOWS_LINK -static)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # Keep the PE header loadable by NT 4.0.
  list(APPEND THREADSIFT_WINDOWS_LINK
    -Wl,--major-subsystem-version,4,--minor-subsystem-version,0
    -Wl,--major-os-version,4,--minor-os-version,0)
endif()

# The JSON library's code is most of the JSON form's and runs once a
# process: built for size, it adds a third less to the executable.
set_source_files_properties(src/win32/threadsift/report/JsonForm.cpp PROPERTIES COMPILE_OPTIONS -Os)

add_executable(threadsift
  ${THREADSIFT_MAIN} ${THREADSIFT_SOURCES} ${THREADSIFT_COMMON_SOURCES})
target_include_directories(threadsift PRIVATE src/win32)
target_compile_options(threadsift PRIVATE ${THREADSIFT_WARNINGS})
target_compile_definitions(threadsift PRIVATE ${THREADSIFT_WINDOWS_DEFINITIONS})
target_link_options(threadsift PRIVATE ${THREADSIFT_WINDOWS_LINK})
target_link_libraries(threadsift PRIVATE advapi32 imagehlp psapi version)

add_executable(latchsift ${LATCHSIFT_SOURCES} ${THREADSIFT_COMMON_SOURCES})
target_include_directories(latchsift PRIVATE src/win32)
target_compile_options(latchsift PRIVATE ${THREADSIFT_WARNINGS})
target_compile_definitions(latchsift PRIVATE ${THREADSIFT_WINDOWS_DEFINITIONS})
target_link_options(latchsift PRIVATE ${THREADSIFT_WINDOWS_LINK})
target_link_libraries(latchsift PRIVATE advapi32)

# Record layouts checked at compile time against the platform headers.
add_library(abi_layouts OBJECT tests/abi/layouts.cpp)
target_include_directories(abi_layouts PRIVATE src/win32)
target_compile_options(abi_layouts PRIVATE ${THREADSIFT_WARNINGS})
target_compile_definitions(abi_layouts PRIVATE ${THREADSIFT_WINDOWS_DEFINITIONS})

find_program(THREADSIFT_OBJDUMP NAMES ${CMAKE_OBJDUMP} objdump REQUIRED)
add_test(NAME abi.threadsift_imports
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/abi/check-imports.sh ${THREADSIFT_OBJDUMP}
          $<TARGET_FILE:threadsift> KERNEL32 ADVAPI32 IMAGEHLP PSAPI VERSION msvcrt)
add_test(NAME abi.latchsift_imports
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/abi/check-imports.sh ${THREADSIFT_OBJDUMP}
          $<TARGET_FILE:latchsift> KERNEL32 ADVAPI32 msvcrt)
set_tests_properties(abi.threadsift_imports abi.latchsift_imports PROPERTIES LABELS abi)

include(cmake/package.cmake)

# The bundled demo (scripts/demo, both widths): two threads deadlocked on two
# critical sections. Built with line information, so that its stacks name
# their lines.
add_executable(deadlock demo/deadlock.cpp)
target_compile_options(deadlock PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_link_options(deadlock PRIVATE -static)

# Its second program: a thread that loads plugin.dll, whose entry routine
# waits for a thread that waits for the loader lock.
add_library(plugin SHARED demo/plugin.cpp)
set_target_properties(plugin PROPERTIES PREFIX "")
target_compile_options(plugin PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_link_options(plugin PRIVATE -static)
add_executable(loaderlock demo/loaderlock.cpp)
target_compile_options(loaderlock PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_link_options(loaderlock PRIVATE -static)
add_dependencies(loaderlock plugin)

# Its third: the deadlock of the first through two C++ mutexes of the
# platform's run-time, the stand-in msvcp140.dll of the end-to-end tests
# (cmake/e2e.cmake), run with that library loaded before Wine's own.
add_executable(mutexdeadlock demo/mutexdeadlock.cpp)
target_compile_options(mutexdeadlock PRIVATE ${THREADSIFT_WARNINGS} -O1 -gdwarf-4)
target_include_directories(mutexdeadlock PRIVATE tests/fixtures)
target_link_options(mutexdeadlock PRIVATE -static)
target_link_libraries(mutexdeadlock PRIVATE msvcp140)

include(cmake/bench.cmake)
include(cmake/e2e.cmake)
