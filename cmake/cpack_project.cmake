# Read by cpack for every package it makes (CPACK_PROJECT_CONFIG_FILE).
# CPack's DEB generator dates the package's own members (debian-binary, the
# control files) with SOURCE_DATE_EPOCH where it is set; the installed files
# get the same time from cpack_staging.cmake.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_ZUB_SOURCE_DATE_EPOCH}")
# A ZIP holds each file's time as a local time: UTC, wherever it is built.
set(ENV{TZ} UTC)
