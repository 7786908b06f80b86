# The README as the Debian package holds it, in /usr/share/doc/zub/ beside
# changelog.gz and copyright:
#
#   zub_package_readme(INPUT OUTPUT)
#
# A link to CHANGELOG.md leads to changelog.gz, one to LICENSE to
# copyright; a link to another file of the source (the developer's guide)
# becomes its text, followed by "in ZUB's source". Links within the README
# (#...) and to the web stay. Any other link is an error.
function(zub_package_readme input output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${input}")
  file(READ "${input}" text)
  string(REPLACE "[CHANGELOG.md](CHANGELOG.md)" "[changelog.gz](changelog.gz)" text "${text}")
  string(REPLACE "[LICENSE](LICENSE)" "[copyright](copyright)" text "${text}")
  string(REGEX REPLACE "\\[([^]]*)\\]\\(doc/DEVELOPING\\.md\\)" "\\1 in ZUB's source" text
                       "${text}")
  string(REGEX MATCHALL "\\]\\([^)]*\\)" links "${text}")
  foreach(link IN LISTS links)
    if(NOT link MATCHES "^\\]\\((#|https?:|changelog\\.gz\\)|copyright\\))")
      message(FATAL_ERROR "README.md: the package holds nothing for the link ${link}")
    endif()
  endforeach()
  file(WRITE "${output}" "${text}")
endfunction()
