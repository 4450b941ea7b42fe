# Packaging.cmake: what `cmake --install` puts where, and the two Debian packages one
# `cpack -G DEB` run makes of it (scripts/package.sh builds them with Debian's hardening flags and
# checks them).
#
# Two install components, one package each:
# - `helper` -> ostrel-sensor-helper: the helper, its manual page and its documentation; in the
#   package also the udev rule that lets the group ostrel-power read the RAPL energy counters (the
#   group is made by the package's postinst, so the rule is of no use without the package) and
#   the Debian changelog.
# - `window` -> ostrel (with OSTREL_BUILD_WINDOW): the window (companion/CMakeLists.txt installs
#   it), its desktop entry, icon and manual page; in the package also its copyright and changelog.
# A plain install (prefix /usr/local by default, DESTDIR honoured) takes both without the
# package-only files (EXCLUDE_FROM_ALL); `cmake --install <build> --component helper` (or window)
# installs one component with them, as CPack does.

include(GNUInstallDirs)

set(OSTREL_PACKAGE_NAME ostrel-sensor-helper)
set(OSTREL_WINDOW_PACKAGE_NAME ostrel)
set(OSTREL_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${OSTREL_PACKAGE_NAME}")
set(OSTREL_WINDOW_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${OSTREL_WINDOW_PACKAGE_NAME}")
set(OSTREL_PACKAGE_MAINTAINER "Ostrel <dev@ostrel.app>"
    CACHE STRING "Maintainer field of the Debian packages: name <address>")

# Debian wants manual pages and changelogs compressed with gzip -9, without a timestamp (-n) so
# that the same input gives the same package. Each pair: source in packaging/, name once gzipped.
set(OSTREL_GZIPPED_DIR "${CMAKE_CURRENT_BINARY_DIR}/packaging")
set(OSTREL_GZIP_PAIRS ostrel-sensor-helper.1 ostrel-sensor-helper.1 changelog changelog)
if(OSTREL_BUILD_WINDOW)
  list(APPEND OSTREL_GZIP_PAIRS ostrel.1 ostrel.1 ostrel.changelog window/changelog)
endif()
set(OSTREL_GZIPPED)
while(OSTREL_GZIP_PAIRS)
  list(POP_FRONT OSTREL_GZIP_PAIRS name gzipped)
  set(in "${CMAKE_CURRENT_SOURCE_DIR}/packaging/${name}")
  set(out "${OSTREL_GZIPPED_DIR}/${gzipped}.gz")
  get_filename_component(out_dir "${out}" DIRECTORY)
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${out_dir}"
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh "${in}" "${out}"
    DEPENDS "${in}"
    VERBATIM)
  list(APPEND OSTREL_GZIPPED "${out}")
endwhile()
add_custom_target(ostrel_gzipped_docs ALL DEPENDS ${OSTREL_GZIPPED})

install(TARGETS ostrel-sensor-helper RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
        COMPONENT helper)
install(FILES "${OSTREL_GZIPPED_DIR}/ostrel-sensor-helper.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT helper)
install(FILES README.md packaging/copyright DESTINATION "${OSTREL_DOC_DIR}" COMPONENT helper)
install(FILES packaging/70-ostrel-power.rules
        DESTINATION lib/udev/rules.d COMPONENT helper EXCLUDE_FROM_ALL)
install(FILES "${OSTREL_GZIPPED_DIR}/changelog.gz"
        DESTINATION "${OSTREL_DOC_DIR}" COMPONENT helper EXCLUDE_FROM_ALL)

if(OSTREL_BUILD_WINDOW)
  # The desktop entry's file name is the application's identifier, which the helper's "Open
  # Ostrel" looks up; the icon is named after it too.
  install(FILES companion/data/com.ostrel.Ostrel.desktop
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/applications" COMPONENT window)
  install(FILES companion/data/com.ostrel.Ostrel.svg
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps" COMPONENT window)
  install(FILES "${OSTREL_GZIPPED_DIR}/ostrel.1.gz"
          DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT window)
  install(FILES packaging/copyright "${OSTREL_GZIPPED_DIR}/window/changelog.gz"
          DESTINATION "${OSTREL_WINDOW_DOC_DIR}" COMPONENT window EXCLUDE_FROM_ALL)
endif()

# The Debian packages: one per component, from one CPack run.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL helper)
if(OSTREL_BUILD_WINDOW)
  list(APPEND CPACK_COMPONENTS_ALL window)
endif()
set(CPACK_PACKAGE_NAME ${OSTREL_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Ostrel)
set(CPACK_PACKAGE_CONTACT "${OSTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ostrel.app/")
# Shared libraries are found by dpkg-shlibdeps: ICU, the C++ runtime and libc for the helper,
# GTK, gtkmm and libsoup besides for the window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Each description's first line is its package's summary.

set(CPACK_DEBIAN_HELPER_PACKAGE_NAME ${OSTREL_PACKAGE_NAME})
set(CPACK_DEBIAN_HELPER_DESCRIPTION
    "live temperatures, fan speeds and power for the Ostrel application
A small always-on background program that reads this machine's live
temperatures, fan speeds and CPU/GPU power from sysfs and serves them as one
JSON document per request over HTTP/1.1 on 127.0.0.1:53843, for the Sensors
page of the Ostrel application. It can register itself as a login item (an XDG
autostart entry).
.
The RAPL energy counters are readable by root only. The package adds the system
group ostrel-power and a udev rule that lets that group read them; nobody gains
access until an administrator adds a user to the group.")
# postinst needs addgroup. The launch alert is drawn by either tool and falls back to standard
# error without them.
set(CPACK_DEBIAN_HELPER_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_HELPER_PACKAGE_RECOMMENDS "zenity | kdialog")
set(CPACK_DEBIAN_HELPER_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm")

# The window talks to the helper of its own release: the wire is the same on both sides.
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME ${OSTREL_WINDOW_PACKAGE_NAME})
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "${OSTREL_PACKAGE_NAME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "window showing this machine's temperatures, fans and power
Ostrel shows the live readings of the Ostrel Sensor Helper: the CPU, SSD and
battery temperatures with a chart of the last ten minutes, each fan's speed
between its minimum and maximum, and the CPU, GPU and total power in watts. A
switch makes the helper start, or no longer start, at login.
.
It refreshes once a second over the helper's loopback port and writes nothing
to disk. `ostrel --text` prints the same page as plain text.")
include(CPack)
