# The Debian package's changelog, made from CHANGELOG.md:
#
#   zub_debian_changelog(INPUT OUTPUT MAINTAINER)
#
# Every section `## VERSION` or `## VERSION (YYYY-MM-DD)` becomes one entry,
# newest first; the first must be PROJECT_VERSION. A section without a date
# is dated by the source (SOURCE_DATE_EPOCH). In a section, "- " starts an
# item (" * " in the entry), a line indented by two blanks goes on with it,
# and any other line is text of the entry.

# The RFC 2822 date of YYYY-MM-DD (or of the source where DATE is empty),
# midnight UTC, as Debian's changelog wants it.
function(zub_changelog_date date out)
  set(caller_epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(date STREQUAL "")
    set(ENV{SOURCE_DATE_EPOCH} ${ZUB_SOURCE_DATE_EPOCH})
  else()
    # Days since 1970-01-01 of a day of the Gregorian calendar, counted in
    # years that start on 1 March.
    if(NOT date MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
      message(FATAL_ERROR "CHANGELOG.md: not a date YYYY-MM-DD: ${date}")
    endif()
    math(EXPR y "${CMAKE_MATCH_1}")
    math(EXPR m "${CMAKE_MATCH_2}")
    math(EXPR d "${CMAKE_MATCH_3}")
    if(m LESS_EQUAL 2)
      math(EXPR y "${y} - 1")
      math(EXPR m "${m} + 9")
    else()
      math(EXPR m "${m} - 3")
    endif()
    math(EXPR era "${y} / 400")
    math(EXPR yoe "${y} - ${era} * 400")
    math(EXPR doy "(153 * ${m} + 2) / 5 + ${d} - 1")
    math(EXPR days "${era} * 146097 + ${yoe} * 365 + ${yoe} / 4 - ${yoe} / 100 + ${doy} - 719468")
    math(EXPR epoch "${days} * 86400")
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
  string(TIMESTAMP stamp "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${caller_epoch}")
  set(${out} "${stamp}" PARENT_SCOPE)
endfunction()

function(zub_debian_changelog input output maintainer)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${input}")
  file(STRINGS "${input}" lines ENCODING UTF-8)
  set(text "")
  set(version "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ([^ ]+)( \\(([0-9-]+)\\))?$")
      if(NOT version STREQUAL "")
        string(APPEND text "\n -- ${maintainer}  ${date}\n\n")
      elseif(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
        message(FATAL_ERROR "CHANGELOG.md: its newest section is ${CMAKE_MATCH_1}, "
                            "the project's version ${PROJECT_VERSION}")
      endif()
      set(version ${CMAKE_MATCH_1})
      zub_changelog_date("${CMAKE_MATCH_3}" date)
      string(APPEND text "zub (${version}) unstable; urgency=medium\n")
    elseif(version STREQUAL "")
      # The file's title and preface.
    elseif(line MATCHES "^- (.*)")
      string(APPEND text "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  (.*)")
      string(APPEND text "    ${CMAKE_MATCH_1}\n")
    elseif(line STREQUAL "")
      string(APPEND text "\n")
    else()
      string(APPEND text "  ${line}\n")
    endif()
  endforeach()
  if(version STREQUAL "")
    message(FATAL_ERROR "CHANGELOG.md: no section ## ${PROJECT_VERSION}")
  endif()
  # One blank line at most between the lines of an entry, none at its end.
  string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
  string(REGEX REPLACE "\n\n(\n -- )" "\\1" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  string(APPEND text "\n\n -- ${maintainer}  ${date}\n")
  file(CONFIGURE OUTPUT "${output}" CONTENT "${text}" @ONLY)
endfunction()

# The Windows package's CHANGELOG.txt, made from CHANGELOG.md as plain text
# with CR LF line ends:
#
#   zub_plain_changelog(INPUT OUTPUT)
#
# The title stays, underlined; the preface (about the making of Debian's
# changelog) is left out; each `## VERSION` becomes the version, underlined;
# an item that begins with "Linux:" (and the lines that go on with it) is
# left out; back quotes become double quotes, and "(LICENSE)" names
# LICENSE.txt, as the ZIP calls it. The result must be plain ASCII.
function(zub_plain_changelog input output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${input}")
  file(STRINGS "${input}" lines ENCODING UTF-8)
  set(text "")
  set(in_preface FALSE)
  set(skipping FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^# (.*)")
      set(title "${CMAKE_MATCH_1} in ZUB")
      string(REGEX REPLACE "." "=" rule "${title}")
      string(APPEND text "${title}\n${rule}\n")
      set(in_preface TRUE)
      continue()
    elseif(line MATCHES "^## (.*)")
      set(version "${CMAKE_MATCH_1}")
      string(REGEX REPLACE "." "-" rule "${version}")
      string(APPEND text "\n${version}\n${rule}\n")
      set(in_preface FALSE)
      set(skipping FALSE)
      continue()
    elseif(in_preface)
      continue()
    elseif(line MATCHES "^- ")
      if(line MATCHES "^- Linux:")
        set(skipping TRUE)
      else()
        set(skipping FALSE)
      endif()
    elseif(NOT line MATCHES "^  ")
      set(skipping FALSE)
    endif()
    if(NOT skipping)
      string(APPEND text "${line}\n")
    endif()
  endforeach()
  string(REPLACE "`" "\"" text "${text}")
  string(REPLACE "(LICENSE)" "(LICENSE.txt)" text "${text}")
  string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
  string(REGEX MATCH "[^\t\n -~]" other "${text}")
  if(NOT other STREQUAL "")
    message(FATAL_ERROR "CHANGELOG.md: CHANGELOG.txt would hold a character other than "
                        "plain ASCII: ${other}")
  endif()
  file(CONFIGURE OUTPUT "${output}" CONTENT "${text}" @ONLY NEWLINE_STYLE CRLF)
endfunction()
