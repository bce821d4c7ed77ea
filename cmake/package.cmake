# The distribution: a zip with both executables, their documentation and the
# license, named after the tool's version and the build's width.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(THREADSIFT_PACKAGE_WIDTH win64)
else()
  set(THREADSIFT_PACKAGE_WIDTH win32)
endif()

install(TARGETS threadsift latchsift RUNTIME DESTINATION .)
install(FILES README.md LICENSE docs/threadsift.md docs/latchsift.md DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME threadsift)
set(CPACK_PACKAGE_FILE_NAME threadsift-2.04-${THREADSIFT_PACKAGE_WIDTH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)

add_test(NAME package.contents
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/abi/check-package.sh ${CMAKE_BINARY_DIR}
          threadsift-2.04-${THREADSIFT_PACKAGE_WIDTH}.zip
          threadsift.exe latchsift.exe README.md LICENSE threadsift.md latchsift.md)
set_tests_properties(package.contents PROPERTIES LABELS abi)
