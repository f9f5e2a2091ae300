# Windows programs carry a version resource (shown in Explorer's Details) and a
# manifest. ATTVIEW_BUILD_ID is the build's git description, read at configure time.
find_package(Git QUIET)
set(ATTVIEW_BUILD_ID "unknown")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty --tags
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE ATTVIEW_BUILD_ID OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE git_result)
  if(NOT git_result EQUAL 0 OR ATTVIEW_BUILD_ID STREQUAL "")
    set(ATTVIEW_BUILD_ID "unknown")
  endif()
endif()

# attview_windows_resources(<target> <description>): on Windows builds only.
function(attview_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(ATTVIEW_RC_NAME ${target})
  set(ATTVIEW_RC_DESCRIPTION "${description}")
  set(ATTVIEW_RC_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/app.manifest.in ${ATTVIEW_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
