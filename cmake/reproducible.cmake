# Two builds of one commit give the same bytes, in whatever folder, at
# whatever time, by whoever they run: no build path, no time stamp of the
# build, no file mode from the umask gets into what they make.

# The time every time stamp in a package is set to: SOURCE_DATE_EPOCH where
# the caller gives it; otherwise, in a git checkout, the time of the last
# commit (checked again when HEAD moves); otherwise the time of this file,
# as a source archive carries it.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ZUB_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(
      COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
      OUTPUT_VARIABLE ZUB_SOURCE_DATE_EPOCH
      OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE zub_git_status
      ERROR_QUIET)
    if(zub_git_status EQUAL 0)
      execute_process(
        COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
        WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
        OUTPUT_VARIABLE zub_git_head_log
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
      if(EXISTS "${zub_git_head_log}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${zub_git_head_log}")
      endif()
    else()
      unset(ZUB_SOURCE_DATE_EPOCH)
    endif()
  endif()
  if(NOT ZUB_SOURCE_DATE_EPOCH)
    file(TIMESTAMP ${CMAKE_CURRENT_LIST_FILE} ZUB_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
if(NOT ZUB_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: ${ZUB_SOURCE_DATE_EPOCH}")
endif()

# The source and build folders become "." in debug information, __FILE__
# and assertion texts; a debugger started in the source folder finds the
# sources. The build folder's mapping comes last and so wins where it
# matches.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
                      "-ffile-prefix-map=${CMAKE_BINARY_DIR}=.")
endif()

# A PE file's header holds the time of the link, unless told not to.
if(MINGW)
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# Folders made by the installation do not depend on the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
