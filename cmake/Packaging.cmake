# The Debian package:  cpack -G DEB  from the build folder.
#
# talvex-server carries the server with its desktop shell, the reader
# simulator, the readers' udev rules, the desktop and autostart entries, the
# systemd user unit for kiosks and the icons. The stand-in photo decoder is
# never part of it (component "devtools", left to the build tree).
if(WIN32 OR NOT UNIX)
  return()
endif()

include(GNUInstallDirs)

set(TALVEX_PACKAGE_NAME talvex-server)
set(TALVEX_PACKAGE_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TALVEX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${TALVEX_PACKAGE_NAME})

# The vendor's photo decoder may also live in /usr/lib/talvex: the server
# looks beside itself first, then through the ordinary library search, which
# for this program includes that folder.
# The build tree's copy carries the same RUNPATH: CMake would otherwise pad
# an empty build RUNPATH with ':' to make room for this one, and every empty
# entry means the working directory.
if(TARGET talvex-server)
  set_target_properties(talvex-server PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib/talvex"
                                                 BUILD_WITH_INSTALL_RPATH ON)
endif()

# Desktop entry, tray autostart at login, headless user unit.
install(FILES ${TALVEX_PACKAGE_DIR}/desktop/talvex-server.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TALVEX_PACKAGE_DIR}/desktop/talvex-server-autostart.desktop
        DESTINATION /etc/xdg/autostart RENAME talvex-server.desktop)
install(FILES ${TALVEX_PACKAGE_DIR}/systemd/talvex-server.service
        DESTINATION lib/systemd/user)

# Icons in the hicolor theme.
set(TALVEX_ICON_SOURCES ${PROJECT_SOURCE_DIR}/src/app/qt/icons)
foreach(size 32 48 64 128 256)
  install(FILES ${TALVEX_ICON_SOURCES}/talvex-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${TALVEX_PACKAGE_NAME}.png)
endforeach()
install(FILES ${TALVEX_PACKAGE_DIR}/icons/talvex.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${TALVEX_PACKAGE_NAME}.svg)

# The readers' udev rules (tags for discovery, uaccess for the desktop user).
if(EXISTS ${TALVEX_PACKAGE_DIR}/udev/70-talvex-reader.rules)
  install(FILES ${TALVEX_PACKAGE_DIR}/udev/70-talvex-reader.rules
          DESTINATION lib/udev/rules.d)
endif()

# Copyright, the Debian changelog and the manual pages (gzip -9n, as Debian
# wants them) and the installation notes.
set(TALVEX_GZ_DIR ${CMAKE_BINARY_DIR}/packaging)
set(TALVEX_CHANGELOG_GZ ${TALVEX_GZ_DIR}/changelog.Debian.gz)
set(TALVEX_GZ_OUTPUTS)
foreach(pair "debian/changelog|changelog.Debian.gz" "man/talvex-server.1|talvex-server.1.gz"
        "man/talvex-reader-sim.1|talvex-reader-sim.1.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 output)
  add_custom_command(
    OUTPUT ${TALVEX_GZ_DIR}/${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TALVEX_GZ_DIR}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${TALVEX_PACKAGE_DIR}/${source}
            ${TALVEX_GZ_DIR}/${output}
    DEPENDS ${TALVEX_PACKAGE_DIR}/${source}
    VERBATIM)
  list(APPEND TALVEX_GZ_OUTPUTS ${TALVEX_GZ_DIR}/${output})
endforeach()
add_custom_target(talvex_package_gz ALL DEPENDS ${TALVEX_GZ_OUTPUTS})
install(FILES ${TALVEX_GZ_DIR}/talvex-server.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET talvex-reader-sim)
  install(FILES ${TALVEX_GZ_DIR}/talvex-reader-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${TALVEX_PACKAGE_DIR}/debian/copyright ${TALVEX_CHANGELOG_GZ}
        DESTINATION ${TALVEX_DOC_DIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/install.md)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/install.md DESTINATION ${TALVEX_DOC_DIR})
endif()

# --- CPack ------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TALVEX_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Talvex developers")
set(CPACK_PACKAGE_CONTACT "Talvex developers <talvex@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local web service that reads Chinese identity cards")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${TALVEX_PACKAGE_NAME})

# One package. Only the default component goes into it: the stand-in photo
# decoder installs into the component "devtools" and stays out.
set(CPACK_COMPONENTS_ALL Unspecified)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME ${TALVEX_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Talvex developers <talvex@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(TALVEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TALVEX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found (package dpkg-dev): the .deb lists no library Depends")
endif()

# The arm64 cross-build (cmake/toolchains/aarch64-linux-gnu.cmake) packages
# for arm64. Its libraries are those of the arm64 root, which the host's
# package database does not know: dpkg-shlibdeps runs inside that root,
# through a wrapper CPack picks up from the project's CPack settings.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64" AND TALVEX_ARM64_ROOT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  set(TALVEX_ROOT_SHLIBDEPS ${CMAKE_BINARY_DIR}/packaging/dpkg-shlibdeps-in-root)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/dpkg-shlibdeps-in-root.sh.in ${TALVEX_ROOT_SHLIBDEPS}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
  set(TALVEX_CPACK_SETTINGS ${CMAKE_BINARY_DIR}/packaging/cpack-settings.cmake)
  file(WRITE ${TALVEX_CPACK_SETTINGS}
       "set(SHLIBDEPS_EXECUTABLE \"${TALVEX_ROOT_SHLIBDEPS}\" CACHE FILEPATH \"\" FORCE)\n")
  set(CPACK_PROJECT_CONFIG_FILE ${TALVEX_CPACK_SETTINGS})
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# The libraries come from dpkg-shlibdeps; Qt's platform plugins are loaded at
# run time, so they are named here.
if(TALVEX_QT_MAJOR STREQUAL "6")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-arphic-uming | fonts-noto-cjk | fonts-wqy-zenhei | fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TALVEX_PACKAGE_DIR}/debian/postinst
    ${TALVEX_PACKAGE_DIR}/debian/postrm
    ${TALVEX_PACKAGE_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; CPack indents these lines
# and turns the empty one into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Talvex lets a web page, or any local client, read a Chinese resident
identity card, a foreign permanent resident card or a Hong Kong, Macao and
Taiwan residence permit from a card reader on a serial port, as a HID device
or over USB. A GET of /readCard on TCP port 10012 answers with the card's
fields and its photo as a Base64 JPEG.

The service runs under a tray icon (started at login) or headless as a
systemd user unit. Decoding the card photo needs the reader vendor's
decoder library, which is not part of this package.")

include(CPack)
