# Reproducible builds: no absolute path of the source or build tree in what is compiled, and the
# linker's timestamp in each executable's header is the commit's time (MinGW-w64's GNU ld reads
# SOURCE_DATE_EPOCH), taken anew when the commit changes.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TOLM_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE TOLM_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_failed ERROR_QUIET)
  if(git_failed)
    message(FATAL_ERROR "not a git checkout: set SOURCE_DATE_EPOCH to the release's time")
  endif()
  foreach(git_file HEAD packed-refs)
    if(EXISTS ${PROJECT_SOURCE_DIR}/.git/${git_file})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/.git/${git_file})
    endif()
  endforeach()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} symbolic-ref -q HEAD
                  OUTPUT_VARIABLE head_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(head_ref AND EXISTS ${PROJECT_SOURCE_DIR}/.git/${head_ref})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/.git/${head_ref})
  endif()
endif()
set_property(GLOBAL PROPERTY RULE_LAUNCH_LINK
             "${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${TOLM_SOURCE_DATE_EPOCH}")

