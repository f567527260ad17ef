# Helpers that keep the per-folder CMakeLists short. Every folder is one static
# library built from its *.cpp files; its *_test.cpp files form one test program
# and *_fuzz.cpp files are libFuzzer entry points. A layer that needs widgets
# has a folder of its own (platform/widgets, rows), so no folder holds two.
#
# Layers: the source root is on no include path. Every library stages its own
# headers (symbolic links, under the build tree's layers/<library>/<folder>/)
# and puts only that folder on its public include path, so a file sees the
# headers of its own library and of the libraries it links, and nothing above
# them: `#include "download/download_job.h"` in net/http fails to compile with
# "No such file or directory".

# quillon_stage_headers(TARGET header...): the headers (paths relative to the
# current source folder) become TARGET's public include path.
function(quillon_stage_headers target)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(stage ${PROJECT_BINARY_DIR}/layers/${target})
  # Links left from an earlier configuration (a header moved or removed) go.
  file(REMOVE_RECURSE ${stage})
  file(MAKE_DIRECTORY ${stage}/${folder})
  foreach(header ${ARGN})
    get_filename_component(header_name ${header} NAME)
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${stage}/${folder}/${header_name} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${stage})
  else()
    target_include_directories(${target} PUBLIC ${stage})
  endif()
endfunction()

# quillon_library(NAME [EXCLUDE file...] [DEPS lib...] [PRIVATE_DEPS lib...])
# EXCLUDE: sources of the folder that are not part of the library (a program's
# main()). DEPS are the libraries its headers need (public); PRIVATE_DEPS
# those only its sources use.
function(quillon_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_(test|fuzz|bench)\\.cpp$")
  foreach(ex ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
  # The headers: all of the folder's.
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  quillon_stage_headers(${name} ${headers})
endfunction()

# quillon_tests(NAME [GUI] [SOURCES file...] [DEPS lib...] [ENV VAR=value...]
#               [TIMEOUT seconds])
# Without SOURCES, the folder's *_test.cpp files.
# GUI tests get a QApplication on the offscreen platform; the others a plain
# GoogleTest main with a QCoreApplication so that event-loop code can run.
function(quillon_tests name)
  if(NOT QUILLON_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "GUI" "TIMEOUT" "SOURCES;DEPS;ENV" ${ARGN})
  if(ARG_SOURCES)
    set(sources ${ARG_SOURCES})
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} quillon_gui_test_main quillon_test_support
                          quillon_test_desktop)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} quillon_test_main quillon_test_support)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QUILLON_SOURCE_DIR=${PROJECT_SOURCE_DIR};QUILLON_BINARY_DIR=${PROJECT_BINARY_DIR};LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp;${ARG_ENV}")
endfunction()

# quillon_fuzzer(NAME SOURCE [DEPS lib...])
function(quillon_fuzzer name source)
  if(NOT QUILLON_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_executable(${name} ${source})
  # fuzz_check.h, the targets' shared invariant check.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
