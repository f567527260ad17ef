# Installs the build tree BUILD_DIR under the prefix /usr into WORK_DIR as
# DESTDIR, stripping as the package does, and compares the sorted list of
# installed files with EXPECTED; then checks that the installed demo program
# still carries its whole, validly signed catalogue.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXPECTED=... -P check_install.cmake

file(REMOVE_RECURSE ${WORK_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${WORK_DIR}
          ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr --strip
  OUTPUT_VARIABLE install_output ERROR_VARIABLE install_output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${install_output}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${WORK_DIR} ${WORK_DIR}/*)
list(TRANSFORM installed PREPEND /)
list(SORT installed)
file(STRINGS ${EXPECTED} expected REGEX "^/")
list(SORT expected)
if(NOT installed STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${installed})
  set(extra ${installed})
  list(REMOVE_ITEM extra ${expected})
  list(JOIN missing "\n  " missing)
  list(JOIN extra "\n  " extra)
  message(FATAL_ERROR "The installed files differ from ${EXPECTED}.\n"
                      "Missing:\n  ${missing}\nNot listed:\n  ${extra}")
endif()

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
          ${WORK_DIR}/usr/bin/quillon-catalogue verify ${WORK_DIR}/usr/bin/quillon-demo
  OUTPUT_VARIABLE verify_output ERROR_VARIABLE verify_output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "The installed quillon-demo does not verify:\n${verify_output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "${EXPECTED}: the installed files match, and quillon-demo's catalogue verifies")
