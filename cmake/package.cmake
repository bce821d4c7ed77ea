# The distribution, one pair of zips a width (cmake --build --preset win64
# --target package):
#   threadsift-<version>-<width>.zip        both executables, stripped, with
#                                           README.md, LICENSE and the manuals
#   threadsift-<version>-<width>-debug.zip  their debug information, one file
#                                           an executable, which each
#                                           stripped executable names in its
#                                           .gnu_debuglink section
# each with its SHA-256 checksum file beside it (<zip>.sha256, in the format
# of sha256sum). The executables of the build itself keep their debug
# information; the package holds stripped copies.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(THREADSIFT_PACKAGE_WIDTH win64)
  set(THREADSIFT_OBJCOPY_NAME x86_64-w64-mingw32-objcopy)
  set(THREADSIFT_BINUTILS_PACKAGE binutils-mingw-w64-x86-64)
else()
  set(THREADSIFT_PACKAGE_WIDTH win32)
  set(THREADSIFT_OBJCOPY_NAME i686-w64-mingw32-objcopy)
  set(THREADSIFT_BINUTILS_PACKAGE binutils-mingw-w64-i686)
endif()
set(THREADSIFT_PACKAGE threadsift-${PROJECT_VERSION}-${THREADSIFT_PACKAGE_WIDTH})

find_program(THREADSIFT_OBJCOPY NAMES ${THREADSIFT_OBJCOPY_NAME})
if(NOT THREADSIFT_OBJCOPY)
  message(FATAL_ERROR "no ${THREADSIFT_OBJCOPY_NAME}, which strips the packaged executables: install the Debian package "
                      "${THREADSIFT_BINUTILS_PACKAGE} (scripts/install-deps does)")
endif()

# Each tool's debug information is copied out, then the executable is
# stripped of it and of its symbol table and given a debug link: the debug
# file's name and checksum, by which a debugger finds the debug file beside
# the executable.
set(THREADSIFT_PACKAGE_STRIPPED ${CMAKE_BINARY_DIR}/package/stripped)
set(THREADSIFT_PACKAGE_DEBUG ${CMAKE_BINARY_DIR}/package/debug)
set(THREADSIFT_PACKAGE_OUTPUTS "")
foreach(tool threadsift latchsift)
  set(stripped ${THREADSIFT_PACKAGE_STRIPPED}/${tool}.exe)
  set(debug ${THREADSIFT_PACKAGE_DEBUG}/${tool}.exe.debug)
  add_custom_command(OUTPUT ${stripped} ${debug}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${THREADSIFT_PACKAGE_STRIPPED} ${THREADSIFT_PACKAGE_DEBUG}
    COMMAND ${THREADSIFT_OBJCOPY} --only-keep-debug $<TARGET_FILE:${tool}> ${debug}
    COMMAND ${THREADSIFT_OBJCOPY} --strip-all --add-gnu-debuglink=${debug} $<TARGET_FILE:${tool}> ${stripped}
    DEPENDS ${tool}
    COMMENT "Stripping ${tool}.exe for the package"
    VERBATIM)
  list(APPEND THREADSIFT_PACKAGE_OUTPUTS ${stripped} ${debug})
endforeach()
add_custom_target(package_files ALL DEPENDS ${THREADSIFT_PACKAGE_OUTPUTS})

install(PROGRAMS ${THREADSIFT_PACKAGE_STRIPPED}/threadsift.exe ${THREADSIFT_PACKAGE_STRIPPED}/latchsift.exe
  DESTINATION . COMPONENT tools)
install(FILES README.md LICENSE DESTINATION . COMPONENT tools)
install(FILES docs/threadsift.md docs/latchsift.md DESTINATION docs COMPONENT tools)
install(FILES ${THREADSIFT_PACKAGE_DEBUG}/threadsift.exe.debug ${THREADSIFT_PACKAGE_DEBUG}/latchsift.exe.debug
  DESTINATION . COMPONENT debug)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME threadsift)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools debug)
set(CPACK_ARCHIVE_TOOLS_FILE_NAME ${THREADSIFT_PACKAGE})
set(CPACK_ARCHIVE_DEBUG_FILE_NAME ${THREADSIFT_PACKAGE}-debug)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)

# The packages' checks (label "package"; scripts/release runs them too):
# package.build makes both zips with cpack, the others read them. The run of
# both tools from the unpacked package is an end-to-end test (cmake/e2e.cmake).
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(THREADSIFT_PACKAGE_UNPACKED ${CMAKE_BINARY_DIR}/package/unpacked)
add_test(NAME package.build COMMAND ${CMAKE_CPACK_COMMAND} --config CPackConfig.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(package.build PROPERTIES FIXTURES_SETUP package_zips)
add_test(NAME package.checksums
  COMMAND sha256sum --check --strict ${THREADSIFT_PACKAGE}.zip.sha256 ${THREADSIFT_PACKAGE}-debug.zip.sha256
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
add_test(NAME package.contents
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/package/check-contents.py ${CMAKE_SOURCE_DIR}
          ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${THREADSIFT_PACKAGE_WIDTH} ${THREADSIFT_OBJDUMP}
          ${THREADSIFT_OBJCOPY} ${THREADSIFT_PACKAGE_UNPACKED})
set_tests_properties(package.contents PROPERTIES FIXTURES_SETUP package_unpacked)
add_test(NAME package.threadsift_imports
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/abi/check-imports.sh ${THREADSIFT_OBJDUMP}
          ${THREADSIFT_PACKAGE_UNPACKED}/threadsift.exe KERNEL32 ADVAPI32 IMAGEHLP PSAPI VERSION msvcrt)
add_test(NAME package.latchsift_imports
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/abi/check-imports.sh ${THREADSIFT_OBJDUMP}
          ${THREADSIFT_PACKAGE_UNPACKED}/latchsift.exe KERNEL32 ADVAPI32 msvcrt)
set_tests_properties(package.threadsift_imports package.latchsift_imports PROPERTIES
  FIXTURES_REQUIRED "package_zips;package_unpacked")
add_test(NAME package.manifests
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/package/check-manifests.py
          ${CMAKE_SOURCE_DIR}/packaging/manifests ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${THREADSIFT_PACKAGE_WIDTH})
set_tests_properties(package.checksums package.contents package.manifests PROPERTIES FIXTURES_REQUIRED package_zips)
set_tests_properties(package.build package.checksums package.contents package.threadsift_imports
  package.latchsift_imports package.manifests PROPERTIES LABELS "abi;package")
