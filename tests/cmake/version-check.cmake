# cmake -DVERSION=<version> -P version-check.cmake: what configuring says of a file version; "accepted" when it
# takes it.
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/FileVersion.cmake")
pagewell_check_four_part_version("The file version" "${VERSION}")
message(STATUS "accepted")
