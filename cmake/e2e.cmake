# End-to-end tests of the Windows builds under Wine (CTest label "e2e"): the
# 64-bit build's here under wine64, the 32-bit build's under 32-bit Wine in a
# virtual machine (tests/vm/run), since this host runs no 32-bit code.
#
# The fixture program is a Windows program of ours; the test driver is a
# native Linux GoogleTest program, built as a project of its own with the
# host compiler, that starts the tool and the fixture under Wine. Every
# GoogleTest case becomes one CTest entry. The entries share one Wine session
# in a prefix under the build folder: "e2e.session_start" creates the prefix
# when it is missing and starts the session, "e2e.session_stop" ends every
# Wine process in it.
include(ExternalProject)
enable_language(RC)

set(E2E_DIR ${CMAKE_SOURCE_DIR}/tests/e2e)

# A program with known threads blocked in known call chains, and the two
# libraries it loads: fixrelay.dll, which the workers' chain passes through
# and which carries another company's version resource, and fixbare.dll,
# which carries none. Built without optimisation and with DWARF 4 line
# information, so that every function of the chain keeps its frame and
# Wine's symbol handler can name it.
set(E2E_FIXTURE_OPTIONS $<$<COMPILE_LANGUAGE:CXX>:${THREADSIFT_WARNINGS} -O0 -gdwarf-4>)
function(e2e_fixture_library name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "")
  target_compile_options(${name} PRIVATE ${E2E_FIXTURE_OPTIONS})
  target_link_options(${name} PRIVATE -static)
endfunction()
e2e_fixture_library(fixrelay tests/fixtures/fixrelay.cpp tests/fixtures/fixrelay.rc)
e2e_fixture_library(fixbare tests/fixtures/fixbare.cpp)

add_executable(fixture tests/fixtures/fixture.cpp tests/fixtures/fixture.rc)
target_compile_options(fixture PRIVATE ${E2E_FIXTURE_OPTIONS})
target_link_options(fixture PRIVATE -static)
target_link_libraries(fixture PRIVATE fixrelay fixbare)

# Threads waiting to enter critical sections, for -w: a cycle of three, a
# waiter whose holder waits on an event, a waiter whose holder has ended.
add_executable(waitscene tests/fixtures/waitscene.cpp)
target_compile_options(waitscene PRIVATE ${E2E_FIXTURE_OPTIONS})
target_link_options(waitscene PRIVATE -static)

# Threads waiting on handles of every kind, for -w: a join cycle, a cycle
# through the loader lock (handleloader.dll's entry routine waits for a thread
# it started), a child process, named objects, all of two threads, decoys.
e2e_fixture_library(handleloader tests/fixtures/handleloader.cpp)
add_executable(handlescene tests/fixtures/handlescene.cpp)
target_compile_options(handlescene PRIVATE ${E2E_FIXTURE_OPTIONS})
target_link_options(handlescene PRIVATE -static)
add_dependencies(handlescene handleloader)

# Threads waiting the way C++ programs of today wait, for -w: slim locks
# held exclusively and shared, condition variables, an address wait, C++
# mutexes of a stand-in for the platform's run-time (msvcp140.dll, with its
# layout and entry names), a decoy.
e2e_fixture_library(msvcp140 tests/fixtures/msvcp140.cpp)
add_executable(modernscene tests/fixtures/modernscene.cpp)
target_compile_options(modernscene PRIVATE ${E2E_FIXTURE_OPTIONS})
target_link_options(modernscene PRIVATE -static)
target_link_libraries(modernscene PRIVATE msvcp140 synchronization user32)
# For -g: a pool of named and unnamed workers, waiters in the same frames,
# a message loop, a sleeper and a deadlocked pair.
add_executable(poolscene tests/fixtures/poolscene.cpp)
target_compile_options(poolscene PRIVATE ${E2E_FIXTURE_OPTIONS})
target_link_options(poolscene PRIVATE -static)
target_link_libraries(poolscene PRIVATE user32)

# For -a: a window thread that blocks, a pair that deadlocks, a thread that
# computes, or a process that ends, each after a delay.
add_executable(hangscene tests/fixtures/hangscene.cpp)
target_compile_options(hangscene PRIVATE ${E2E_FIXTURE_OPTIONS})
target_link_options(hangscene PRIVATE -static)
target_link_libraries(hangscene PRIVATE user32)

# threadsift with a stack walk that faults for real: the tool's calls of
# StackWalk64 go to FaultingStackWalk64 (StackWalk to FaultingStackWalk on
# 32-bit), which raises an access violation (or stops for good) at a chosen
# step of the walk of a chosen thread, and its calls of GetThreadContext to
# FaultingGetThreadContext, which can stop for good while the tool holds a
# thread (tests/e2e/faulting).
add_library(faulting_stack_walk OBJECT tests/e2e/faulting/FaultingStackWalk.cpp
  tests/e2e/faulting/StallingContextRead.cpp)
target_compile_options(faulting_stack_walk PRIVATE ${THREADSIFT_WARNINGS})
add_executable(threadsift_faulting
  ${THREADSIFT_MAIN} ${THREADSIFT_SOURCES} ${THREADSIFT_COMMON_SOURCES}
  $<TARGET_OBJECTS:faulting_stack_walk>)
target_include_directories(threadsift_faulting PRIVATE src/win32)
target_compile_options(threadsift_faulting PRIVATE ${THREADSIFT_WARNINGS})
# The 32-bit tests run in a machine that QEMU emulates, where every program
# runs several times slower: their time limits are stretched (E2E_TIME_SCALE).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(E2E_WIDTH 64)
  set(E2E_FAULTING_RENAME StackWalk64=FaultingStackWalk64)
  set(E2E_TIME_SCALE 1)
else()
  set(E2E_WIDTH 32)
  set(E2E_FAULTING_RENAME StackWalk=FaultingStackWalk)
  set(E2E_TIME_SCALE 5)
endif()
math(EXPR E2E_TEST_TIMEOUT "180 * ${E2E_TIME_SCALE}")
math(EXPR E2E_LONG_TEST_TIMEOUT "900 * ${E2E_TIME_SCALE}")
math(EXPR E2E_SESSION_TIMEOUT "300 * ${E2E_TIME_SCALE}")
target_compile_definitions(threadsift_faulting PRIVATE
  ${THREADSIFT_WINDOWS_DEFINITIONS} ${E2E_FAULTING_RENAME} GetThreadContext=FaultingGetThreadContext)
target_link_options(threadsift_faulting PRIVATE ${THREADSIFT_WINDOWS_LINK})
target_link_libraries(threadsift_faulting PRIVATE advapi32 imagehlp psapi version)

set(E2E_DRIVER ${CMAKE_BINARY_DIR}/e2e-driver/threadsift_e2e)
ExternalProject_Add(e2e_driver
  SOURCE_DIR ${E2E_DIR}/driver
  BINARY_DIR ${CMAKE_BINARY_DIR}/e2e-driver
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++
  INSTALL_COMMAND ""
  BUILD_ALWAYS TRUE
  BUILD_BYPRODUCTS ${E2E_DRIVER})

if(E2E_WIDTH EQUAL 64)
  find_program(E2E_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  if(NOT E2E_WINE)
    message(WARNING "No 64-bit Wine loader in /usr/lib/wine: the e2e tests will fail (run scripts/install-deps)")
    add_test(NAME e2e.wine_installed COMMAND ${CMAKE_COMMAND} -E false)
    set_tests_properties(e2e.wine_installed PROPERTIES LABELS e2e)
    return()
  endif()
else()
  # The 32-bit loader of the virtual machine's Debian wine32; the 32-bit
  # tests run only there.
  set(E2E_WINE /usr/lib/wine/wine)
endif()

# Each tool's banner as its source spells it (with the version of project()
# in place of THREADSIFT_VERSION), so that the tests compare it exactly; when
# it cannot be found the driver checks its start only.
function(e2e_read_banner main_source variable)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${main_source})
  file(STRINGS ${main_source} banner_line REGEX "kBanner\\[\\] = \"")
  string(REPLACE "\" THREADSIFT_VERSION \"" "${PROJECT_VERSION}" banner_line "${banner_line}")
  set(banner "")
  if(banner_line MATCHES "kBanner\\[\\] = \"([^\"]*)\"")
    set(banner ${CMAKE_MATCH_1})
  endif()
  set(${variable} "${banner}" PARENT_SCOPE)
endfunction()
e2e_read_banner(${CMAKE_SOURCE_DIR}/src/win32/threadsift/main.cpp E2E_BANNER)
e2e_read_banner(${CMAKE_SOURCE_DIR}/src/win32/latchsift/main.cpp E2E_LATCHSIFT_BANNER)

set(E2E_PREFIX ${CMAKE_BINARY_DIR}/e2e-prefix)
set(E2E_WINE_LOG ${CMAKE_BINARY_DIR}/e2e-wine.log)

add_test(NAME e2e.session_start COMMAND bash ${E2E_DIR}/wine-session start ${E2E_PREFIX} ${E2E_WINE_LOG})
add_test(NAME e2e.session_stop COMMAND bash ${E2E_DIR}/wine-session stop ${E2E_PREFIX})
set_tests_properties(e2e.session_start PROPERTIES
  FIXTURES_SETUP e2e_wine LABELS e2e RESOURCE_LOCK e2e_wine TIMEOUT ${E2E_SESSION_TIMEOUT}
  ENVIRONMENT WINE_LOADER=${E2E_WINE})
set_tests_properties(e2e.session_stop PROPERTIES
  FIXTURES_CLEANUP e2e_wine LABELS e2e RESOURCE_LOCK e2e_wine TIMEOUT 60
  ENVIRONMENT WINE_LOADER=${E2E_WINE})

# The driver's test cases are listed when CTest runs, from the built driver.
set(E2E_DRIVER_ARGS
  --width=${E2E_WIDTH}
  --time-scale=${E2E_TIME_SCALE}
  --wine=${E2E_WINE}
  --prefix=${E2E_PREFIX}
  --threadsift=$<TARGET_FILE:threadsift>
  --threadsift-faulting=$<TARGET_FILE:threadsift_faulting>
  --latchsift=$<TARGET_FILE:latchsift>
  --fixture=$<TARGET_FILE:fixture>
  --fixture-sources=${CMAKE_SOURCE_DIR}/tests/fixtures
  --wait-scene=$<TARGET_FILE:waitscene>
  --handle-scene=$<TARGET_FILE:handlescene>
  --modern-scene=$<TARGET_FILE:modernscene>
  --pool-scene=$<TARGET_FILE:poolscene>
  --hang-scene=$<TARGET_FILE:hangscene>
  --demo=$<TARGET_FILE:deadlock>
  --wine-log=${E2E_WINE_LOG}
  "--banner=${E2E_BANNER}"
  "--latchsift-banner=${E2E_LATCHSIFT_BANNER}")
set(E2E_TESTS_FILE ${CMAKE_BINARY_DIR}/e2e-tests.cmake)
file(READ ${E2E_DIR}/list-tests.cmake.in E2E_LIST_TEMPLATE)
string(CONFIGURE "${E2E_LIST_TEMPLATE}" E2E_LIST_SCRIPT @ONLY)
file(GENERATE OUTPUT ${E2E_TESTS_FILE} CONTENT "${E2E_LIST_SCRIPT}")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${E2E_TESTS_FILE})

# The second stage of the 32-bit build's run in the virtual machine (label
# "wow64"), in a 64-bit Wine prefix of its own: the 64-bit build (the win64
# build folder beside this one) reports 32-bit processes as this build does.
if(E2E_WIDTH EQUAL 32)
  set(E2E_WOW64_PREFIX ${CMAKE_BINARY_DIR}/wow64-prefix)
  get_filename_component(E2E_WIDE_BUILD ${CMAKE_BINARY_DIR}/../win64 ABSOLUTE)
  set(E2E_WINE64_ENVIRONMENT WINE_LOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64 WINEARCH=win64)
  add_test(NAME wow64.session_start COMMAND bash ${E2E_DIR}/wine-session start ${E2E_WOW64_PREFIX} ${E2E_WINE_LOG})
  add_test(NAME wow64.session_stop COMMAND bash ${E2E_DIR}/wine-session stop ${E2E_WOW64_PREFIX})
  set_tests_properties(wow64.session_start PROPERTIES FIXTURES_SETUP wow64_wine LABELS "e2e;wow64"
    RESOURCE_LOCK wow64_wine TIMEOUT ${E2E_SESSION_TIMEOUT} ENVIRONMENT "${E2E_WINE64_ENVIRONMENT}")
  set_tests_properties(wow64.session_stop PROPERTIES FIXTURES_CLEANUP wow64_wine LABELS "e2e;wow64"
    RESOURCE_LOCK wow64_wine TIMEOUT 60 ENVIRONMENT "${E2E_WINE64_ENVIRONMENT}")
  foreach(case plain cpu json sweep wide locks waits)
    add_test(NAME wow64.${case} COMMAND bash ${E2E_DIR}/wow64-compare ${case} ${CMAKE_BINARY_DIR} ${E2E_WIDE_BUILD}
             ${E2E_WOW64_PREFIX} ${E2E_TIME_SCALE})
    set_tests_properties(wow64.${case} PROPERTIES FIXTURES_REQUIRED wow64_wine LABELS "e2e;wow64"
      RESOURCE_LOCK wow64_wine TIMEOUT ${E2E_TEST_TIMEOUT} ENVIRONMENT "${E2E_WINE64_ENVIRONMENT}")
  endforeach()
endif()

# Both tools run from the unpacked package (cmake/package.cmake) against the
# demo program: the 64-bit package in a Wine prefix made for the run alone,
# the 32-bit one in the virtual machine's prefix (a new prefix takes a
# quarter of an hour under its emulator).
if(E2E_WIDTH EQUAL 64)
  set(E2E_PACKAGE_PREFIX fresh)
else()
  set(E2E_PACKAGE_PREFIX ${E2E_PREFIX})
endif()
add_test(NAME package.run
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/run-package.sh ${E2E_WIDTH} ${PROJECT_VERSION}
          ${CMAKE_BINARY_DIR}/${THREADSIFT_PACKAGE}.zip $<TARGET_FILE:deadlock> ${E2E_PACKAGE_PREFIX}
          ${E2E_TIME_SCALE} "${E2E_BANNER}")
set_tests_properties(package.run PROPERTIES LABELS "e2e;package"
  TIMEOUT ${E2E_TEST_TIMEOUT} ENVIRONMENT WINE_LOADER=${E2E_WINE})
if(E2E_WIDTH EQUAL 64)
  set_tests_properties(package.run PROPERTIES FIXTURES_REQUIRED package_zips)
else()
  # The virtual machine makes no zip: it unpacks the one that tests/vm/run
  # made on the host.
  set_tests_properties(package.run PROPERTIES FIXTURES_REQUIRED e2e_wine RESOURCE_LOCK e2e_wine)
endif()
