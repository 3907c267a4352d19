# The portable package: one folder that belongs to the user, since the updater replaces the programs beside itself,
# holding both programs, the icon in the theme's sizes, a desktop entry, the command that adds it to the menu, and a
# README. `cmake --install <build> --prefix <folder>` lays the folder out; CPack packs it (scripts/package).
install(TARGETS Pagewell update RUNTIME DESTINATION .)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/resources/icons" DESTINATION .)
install(FILES "${PROJECT_SOURCE_DIR}/resources/package/pagewell.desktop"
              "${PROJECT_SOURCE_DIR}/resources/package/README.txt" DESTINATION .)
install(PROGRAMS "${PROJECT_SOURCE_DIR}/resources/package/pagewell-menu" DESTINATION .)

string(TOLOWER "${CMAKE_SYSTEM_NAME}" _system)
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME Pagewell)
set(CPACK_PACKAGE_VERSION "${PAGEWELL_FILE_VERSION}")
set(PAGEWELL_PACKAGE_NAME "Pagewell-${PAGEWELL_FILE_VERSION}-${_system}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_PACKAGE_FILE_NAME "${PAGEWELL_PACKAGE_NAME}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Debug information stays in the build; the file version note is an allocated section and survives stripping.
set(CPACK_STRIP_FILES ON)
include(CPack)
