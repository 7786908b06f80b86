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

# Then SHA256SUMS beside the packages, for `sha256sum -c SHA256SUMS`, with a line
# for each package and for each program delivered beside it
# (CPACK_ZUB_CHECKSUMMED_FILES, in the build folder; copied to the package
# folder where that is another).
# The packages are hashed where cpack made them, as it copies them to the
# package folder only afterwards.
set(zub_files)
foreach(zub_package IN LISTS CPACK_PACKAGE_FILES)
  cmake_path(GET zub_package FILENAME zub_name)
  list(APPEND zub_files "${zub_name}")
  set(zub_path_${zub_name} "${zub_package}")
endforeach()
foreach(zub_name IN LISTS CPACK_ZUB_CHECKSUMMED_FILES)
  list(APPEND zub_files "${zub_name}")
  set(zub_path_${zub_name} "${CPACK_ZUB_BINARY_DIR}/${zub_name}")
  if(NOT CPACK_PACKAGE_DIRECTORY STREQUAL CPACK_ZUB_BINARY_DIR)
    file(COPY_FILE "${CPACK_ZUB_BINARY_DIR}/${zub_name}" "${CPACK_PACKAGE_DIRECTORY}/${zub_name}")
  endif()
endforeach()
list(REMOVE_DUPLICATES zub_files)
list(SORT zub_files)
set(zub_sums "")
foreach(zub_name IN LISTS zub_files)
  file(SHA256 "${zub_path_${zub_name}}" zub_sum)
  string(APPEND zub_sums "${zub_sum}  ${zub_name}\n")
endforeach()
file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${zub_sums}")
message(STATUS "SHA256SUMS written to ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS")
