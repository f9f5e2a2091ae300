# One static library per module folder, and one test executable beside it.
#
#   attview_module(<name>
#       SOURCES <files>...          sources of the library
#       DEPS <libraries>...         modules it stands on (downward only)
#       TESTS <files>...            <name>_test: GoogleTest sources, run by ctest
#       TEST_DEPS <libraries>...    extra libraries for the test
#       LONG_TESTS <files>...       <name>_long_test: registered only with LONG_TESTS=ON)

set(ATTVIEW_WARNINGS -Wall -Wextra)
# Narrow literals are Shift_JIS bytes, as the system's texts are defined. The clang
# fuzz build cannot take the flag and keeps UTF-8 literals.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(ATTVIEW_CHARSET -finput-charset=UTF-8 -fexec-charset=CP932)
endif()

find_package(Boost 1.74 QUIET)
if(Boost_FOUND AND NOT CMAKE_CROSSCOMPILING)
  set(ATTVIEW_BOOST_INCLUDE ${Boost_INCLUDE_DIRS})
endif()

function(attview_options target)
  target_compile_options(${target} PRIVATE ${ATTVIEW_WARNINGS} ${ATTVIEW_CHARSET})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  if(ATTVIEW_BOOST_INCLUDE)
    target_include_directories(${target} SYSTEM PUBLIC ${ATTVIEW_BOOST_INCLUDE})
  endif()
endfunction()

function(attview_test name)
  cmake_parse_arguments(T "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  attview_options(${name})
  target_link_libraries(${name} PRIVATE ${T_DEPS} test_main gtest)
  add_test(NAME ${name} COMMAND ${name})
  set(labels ${T_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 900)
endfunction()

function(attview_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS;TESTS;TEST_DEPS;LONG_TESTS" ${ARGN})
  if(M_SOURCES)
    add_library(${name} STATIC ${M_SOURCES})
    attview_options(${name})
    target_link_libraries(${name} PUBLIC ${M_DEPS})
    set(self ${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${M_DEPS})
    set(self ${name})
  endif()
  if(M_TESTS)
    attview_test(${name}_test SOURCES ${M_TESTS} DEPS ${self} ${M_TEST_DEPS})
  endif()
  if(M_LONG_TESTS AND LONG_TESTS)
    attview_test(${name}_long_test SOURCES ${M_LONG_TESTS} DEPS ${self} ${M_TEST_DEPS} LABELS long)
  endif()
endfunction()
