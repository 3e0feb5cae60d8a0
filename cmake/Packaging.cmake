# Installs Tessel Backup like any other Linux desktop program (desktop entry,
# icons, manual page, documents and examples) and describes its Debian
# package. The program's own install rule lives beside its target in
# src/CMakeLists.txt.

include(GNUInstallDirs)

set(TESSEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TESSEL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(TESSEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tessel-backup)

install(FILES ${TESSEL_PACKAGING_DIR}/tessel-backup.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

install(FILES ${TESSEL_PACKAGING_DIR}/icons/tessel-backup.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size ${TESSEL_ICON_SIZES})
  install(FILES ${TESSEL_PACKAGING_DIR}/icons/tessel-backup-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME tessel-backup.png)
endforeach()

# The PNG icons are kept in the tree so that a build needs no SVG renderer.
# After a change of the SVG, "cmake --build <dir> --target tessel_icons" renders them
# anew.
find_program(TESSEL_RSVG_CONVERT rsvg-convert)
if(TESSEL_RSVG_CONVERT)
  set(render_commands)
  foreach(size ${TESSEL_ICON_SIZES})
    list(APPEND render_commands
         COMMAND ${TESSEL_RSVG_CONVERT} -w ${size} -h ${size}
                 -o ${TESSEL_PACKAGING_DIR}/icons/tessel-backup-${size}.png
                 ${TESSEL_PACKAGING_DIR}/icons/tessel-backup.svg)
  endforeach()
  add_custom_target(tessel_icons ${render_commands}
                    COMMENT "Rendering the PNG icons from tessel-backup.svg"
                    VERBATIM)
endif()

# The manual page gets the version of project() and is installed
# compressed, as Debian's policy asks; "-n" keeps the name and time stamp out
# of the gzip header, so that two builds give the same bytes.
find_program(TESSEL_GZIP gzip)
set(man_source ${CMAKE_CURRENT_BINARY_DIR}/packaging/tessel-backup.1)
configure_file(${TESSEL_PACKAGING_DIR}/tessel-backup.1 ${man_source} @ONLY)
if(TESSEL_GZIP)
  set(man_page ${CMAKE_CURRENT_BINARY_DIR}/packaging/tessel-backup.1.gz)
  add_custom_command(OUTPUT ${man_page}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
                     COMMAND ${TESSEL_GZIP} -9 -n -c ${man_source} > ${man_page}
                     DEPENDS ${man_source}
                     COMMENT "Compressing the manual page")
  add_custom_target(tessel_man_page ALL DEPENDS ${man_page})
else()
  set(man_page ${man_source})
endif()
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TESSEL_DOC_DIR} OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/examples/config-home.ini
              ${PROJECT_SOURCE_DIR}/examples/crontab
        DESTINATION ${TESSEL_DOC_DIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/examples/systemd/tessel-backup.service
              ${PROJECT_SOURCE_DIR}/examples/systemd/tessel-backup.timer
        DESTINATION ${TESSEL_DOC_DIR}/examples/systemd)

# The Debian package: "cpack -G DEB" in the build folder, or the "package"
# target; it installs below /usr. Its dependencies are computed by dpkg-shlibdeps from the libraries
# the program links (Qt 6, the C++ runtime), so they follow the build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessel-backup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tessel Backup Team")
set(CPACK_PACKAGE_CONTACT "Tessel Backup Team <team@tessel-backup.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop backup tool that writes one zip archive per run")
set(CPACK_PACKAGE_DESCRIPTION
    "Tessel Backup keeps one backup job: the files to include and to leave out,\n"
    "a template for the archive's name with date and time tokens, a compression\n"
    "level and what to do when the archive already exists. Each run writes the\n"
    "selected files into one standard zip archive, readable by any zip tool.\n"
    "\n"
    "The job is edited and run in a window with a Russian user interface, or\n"
    "run unattended from cron or a systemd timer with the switch /b, which\n"
    "needs no display.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tessel Backup Team <team@tessel-backup.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS unzip)
# The X11 and offscreen platform plugins come with libqt6gui6; on a Wayland
# desktop the window runs natively with Qt's Wayland plugin, else through
# XWayland. Plugins are loaded at run time, so dpkg-shlibdeps cannot see them.
if(TARGET tessel_ui)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
  # Qt's own Russian texts (standard buttons, context menus) are a file that
  # the window loads at start; the shared-library scan cannot see it.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-translations-l10n)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# "package_source": the tree without build folders and version control.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME tessel-backup-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/" "\\\\.swp$" "/__pycache__/")
include(CPack)
