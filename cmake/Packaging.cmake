# What `cmake --install` puts in place (the program, its desktop entry,
# AppStream metainfo and icons, under the usual Linux folders) and the Debian
# package CPack makes of it (`cpack -G DEB` in the build folder).

include(GNUInstallDirs)

set(BRISLE_REPOSITORY "https://github.com/brisle/brisle" CACHE STRING "The source repository's web address (metainfo links, screenshots)")
set(BRISLE_PACKAGE_MAINTAINER "Brisle developers <packages@brisle.org>" CACHE STRING "The maintainer the Debian package names")

install(TARGETS brisle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES resources/linux/org.brisle.Brisle.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(resources/linux/org.brisle.Brisle.metainfo.xml.in org.brisle.Brisle.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/org.brisle.Brisle.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES resources/icons/org.brisle.Brisle.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(DIRECTORY resources/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brisle)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "Brisle fills a portable music player (anything mounted as a disk) with the playlists,
albums and songs you choose from your iTunes music library. It plans where every song
goes, converts what the player cannot play to MP3, and copies, moves and removes files
in the background, never touching files it did not put there.")
set(CPACK_PACKAGE_CONTACT "${BRISLE_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${BRISLE_WEBSITE}/brisle/")
# Debian 12's packages of what the program loads at run time (the shlibs
# files name libtag1v5-vanilla for libtag.so.1). The Qt platform plugins
# come with qt6-qpa-plugins. tests/package checks that every library the
# program links is covered.
set(deps "libc6 (>= 2.36)" "libstdc++6 (>= 12)" "libgcc-s1"
         "libqt6core6 (>= 6.4)" "libqt6gui6 (>= 6.4)" "libqt6widgets6 (>= 6.4)" "libqt6dbus6 (>= 6.4)" "qt6-qpa-plugins (>= 6.4)"
         "libavformat59" "libavcodec59" "libswresample4" "libavutil57" "libtag1v5-vanilla (>= 1.13)" "libblkid1")
if(BRISLE_UPDATE_CHECK)
    list(APPEND deps "libqt6network6 (>= 6.4)")
endif()
list(JOIN deps ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# Ejecting a player goes through udisks2 where it runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2")
include(CPack)
