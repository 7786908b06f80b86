# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS).

# CPack packs a ZIP in the order in which the file system lists the staged
# files, which is another one on another file system: the ZIP is packed
# again here, from the same files, in the order of their names.
foreach(zub_package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT zub_package MATCHES "\\.zip$")
    continue()
  endif()
  cmake_path(GET CPACK_TEMPORARY_DIRECTORY PARENT_PATH zub_stage)
  file(GLOB_RECURSE zub_entries RELATIVE "${zub_stage}" "${CPACK_TEMPORARY_DIRECTORY}/*")
  list(SORT zub_entries)
  list(JOIN zub_entries "\n" zub_entries)
  file(WRITE "${zub_stage}/zub-zip-entries.txt" "${zub_entries}\n")
  file(REMOVE "${zub_package}")
  execute_process(
    COMMAND "${CPACK_ZUB_CMAKE_COMMAND}" -E tar cf "${zub_package}" --format=zip
            --files-from=zub-zip-entries.txt
    WORKING_DIRECTORY "${zub_stage}"
    RESULT_VARIABLE zub_status)
  file(REMOVE "${zub_stage}/zub-zip-entries.txt")
  if(NOT zub_status EQUAL 0)
    message(FATAL_ERROR "cpack_packages.cmake: cannot pack ${zub_package} again")
  endif()
endforeach()

# CPack's Debian package holds two things that depend on the machine that
# makes it: the modes of its three members come from the umask, and the
# control file's Installed-Size counts the sizes of the staged folders as
# the file system gives them (4 KiB each on ext4, less on tmpfs). Its
# control archive is made again here with the size counted as dpkg-gencontrol
# does (a KiB for each folder, each file's size rounded up to KiB), and the
# package with ar in deterministic mode (members rw-r--r--, owner 0, time 0);
# the data archive stays as CPack made it.
foreach(zub_package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT zub_package MATCHES "\\.deb$")
    continue()
  endif()
  # The installed tree, without the files CPack has put beside it.
  set(zub_size 0)
  file(GLOB_RECURSE zub_entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  foreach(zub_entry IN LISTS zub_entries)
    cmake_path(GET zub_entry PARENT_PATH zub_parent)
    cmake_path(GET zub_entry FILENAME zub_name)
    if(zub_parent STREQUAL CPACK_TEMPORARY_DIRECTORY
       AND zub_name MATCHES "^(debian-binary|control|md5sums|control\\.tar\\..*|data\\.tar\\..*)$")
      continue()
    elseif(IS_DIRECTORY "${zub_entry}" OR IS_SYMLINK "${zub_entry}")
      math(EXPR zub_size "${zub_size} + 1")
    else()
      file(SIZE "${zub_entry}" zub_bytes)
      math(EXPR zub_size "${zub_size} + (${zub_bytes} + 1023) / 1024")
    endif()
  endforeach()

  set(zub_work "${CPACK_TOPLEVEL_DIRECTORY}/zub-deb")
  file(REMOVE_RECURSE "${zub_work}")
  file(MAKE_DIRECTORY "${zub_work}/control")
  execute_process(COMMAND "${CPACK_ZUB_AR}" x "${zub_package}"
                  WORKING_DIRECTORY "${zub_work}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -xzf ../control.tar.gz
                  WORKING_DIRECTORY "${zub_work}/control" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${zub_work}/control/control" zub_control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${zub_size}\n"
         zub_control "${zub_control}")
  file(WRITE "${zub_work}/control/control" "${zub_control}")
  file(REMOVE "${zub_work}/control.tar.gz" "${zub_package}")
  execute_process(
    COMMAND tar --create --file=../control.tar --format=gnu --sort=name
            --owner=root:0 --group=root:0 --mode=u=rw,go=r
            --mtime=@${CPACK_ZUB_SOURCE_DATE_EPOCH} ./control ./md5sums
    WORKING_DIRECTORY "${zub_work}/control" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND gzip -9 -n control.tar
                  WORKING_DIRECTORY "${zub_work}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(
    COMMAND "${CPACK_ZUB_AR}" rcD "${zub_package}" debian-binary control.tar.gz data.tar.gz
    WORKING_DIRECTORY "${zub_work}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${zub_work}")
endforeach()
