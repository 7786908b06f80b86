# Run by cpack on the installed tree before it is packed
# (CPACK_PRE_BUILD_SCRIPTS): every file and folder gets the time of the
# source (SOURCE_DATE_EPOCH) instead of the time of the build, and a mode
# that does not depend on the umask (folders and programs rwxr-xr-x, other
# files rw-r--r--).
if(NOT CPACK_TEMPORARY_DIRECTORY OR NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
  message(FATAL_ERROR "cpack_staging.cmake: no staging folder")
endif()
file(GLOB_RECURSE zub_staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(zub_path IN LISTS zub_staged)
  if(IS_SYMLINK "${zub_path}")
    continue()
  elseif(IS_DIRECTORY "${zub_path}")
    set(zub_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    execute_process(COMMAND test -x "${zub_path}" RESULT_VARIABLE zub_not_executable)
    if(zub_not_executable)
      set(zub_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    else()
      set(zub_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endif()
  file(CHMOD "${zub_path}" PERMISSIONS ${zub_mode})
endforeach()
execute_process(
  COMMAND find "${CPACK_TEMPORARY_DIRECTORY}" -exec touch -h -d "@${CPACK_ZUB_SOURCE_DATE_EPOCH}" {} +
  RESULT_VARIABLE zub_status)
if(NOT zub_status EQUAL 0)
  message(FATAL_ERROR "cpack_staging.cmake: cannot set the time stamps in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
