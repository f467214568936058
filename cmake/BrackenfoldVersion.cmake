# The version that the DLL's VERSIONINFO and `bfold --version` both show:
# project(VERSION) plus the source commit. The commit comes from git when the
# project is configured (a change of HEAD configures again), or from
# -DBRACKENFOLD_COMMIT=... for a build from an exported tree; "-dirty" marks
# a work tree with uncommitted changes to tracked files.
# Defines the interface target bf_version (include "brackenfold_version.h").
set(BRACKENFOLD_COMMIT "" CACHE STRING
    "Source commit to record in the build (default: from git; for trees without .git)")

set(_bf_commit "${BRACKENFOLD_COMMIT}")
if(_bf_commit STREQUAL "")
  find_package(Git QUIET)
  set(_bf_commit "unknown")
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _bf_head OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _bf_rc ERROR_QUIET)
    if(_bf_rc EQUAL 0 AND _bf_head MATCHES "^[0-9a-f]+$")
      set(_bf_commit "${_bf_head}")
      execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain --untracked-files=no
                      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                      OUTPUT_VARIABLE _bf_changes ERROR_QUIET)
      if(NOT _bf_changes STREQUAL "")
        string(APPEND _bf_commit "-dirty")
      endif()
      # Configure again when HEAD moves: HEAD itself, and the branch it names.
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --symbolic-full-name HEAD
                      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                      OUTPUT_VARIABLE _bf_branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      foreach(_bf_ref HEAD ${_bf_branch} packed-refs)
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path ${_bf_ref}
                        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                        OUTPUT_VARIABLE _bf_path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(EXISTS "${_bf_path}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_bf_path}")
        endif()
      endforeach()
    endif()
  endif()
endif()

if(NOT _bf_commit MATCHES "^[0-9A-Za-z._+-]+$")
  message(FATAL_ERROR "BRACKENFOLD_COMMIT '${_bf_commit}': letters, digits and ._+- only")
endif()
set(BRACKENFOLD_VERSION_TEXT "${PROJECT_VERSION} (commit ${_bf_commit})")
set(BRACKENFOLD_SOURCE_COMMIT "${_bf_commit}")
message(STATUS "Brackenfold ${BRACKENFOLD_VERSION_TEXT}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/brackenfold_version.h.in
               ${CMAKE_BINARY_DIR}/generated/brackenfold_version.h @ONLY)
add_library(bf_version INTERFACE)
target_include_directories(bf_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
