# The portable package: one folder that belongs to the user, since the updater replaces the programs beside itself,
# holding both programs, the icon in the theme's sizes, a desktop entry, the command that adds it to the menu, a
# README and the user guide. `cmake --install <build> --prefix <folder>` lays the folder out; CPack packs it (scripts/package).
install(TARGETS Pagewell update RUNTIME DESTINATION .)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/resources/icons" DESTINATION .)
# Users of a package whose updater takes unsigned files are told so in its README.
set(_readme "${PROJECT_SOURCE_DIR}/resources/package/README.txt")
if(NOT PAGEWELL_UPDATE_PUBLIC_KEY)
    file(READ "${_readme}" _text)
    string(REPLACE "\n\n中文" "\n\n注意：本软件包的自动更新程序不校验签名，会安装更新服务器发来的任何文件。\n\
Note: the updater in this package is unsigned: it installs whatever the update server sends, unchecked.\n\n中文"
                   _text "${_text}")
    set(_readme "${CMAKE_BINARY_DIR}/package-readme/README.txt")
    file(CONFIGURE OUTPUT "${_readme}" CONTENT "${_text}" @ONLY)
endif()
install(FILES "${PROJECT_SOURCE_DIR}/resources/package/pagewell.desktop" "${_readme}"
              "${PROJECT_SOURCE_DIR}/docs/USER-GUIDE.md" DESTINATION .)
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
