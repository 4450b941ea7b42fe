# Packaging.cmake: what `cmake --install` puts where, and the Debian package `cpack -G DEB`
# makes of it (scripts/package.sh builds it with Debian's hardening flags and checks it).
#
# A plain install (prefix /usr/local by default, DESTDIR honoured) takes the helper, its manual
# page and its documentation. The package (prefix /usr) adds the component `deb`: the udev rule
# that lets the group ostrel-power read the RAPL energy counters (the group is made by the
# package's postinst, so the rule is of no use without the package) and the Debian changelog.
# `cmake --install <build> --component deb` installs that component alone.

include(GNUInstallDirs)

set(OSTREL_PACKAGE_NAME ostrel-sensor-helper)
set(OSTREL_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${OSTREL_PACKAGE_NAME}")
set(OSTREL_PACKAGE_MAINTAINER "Ostrel <dev@ostrel.app>"
    CACHE STRING "Maintainer field of the Debian package: name <address>")

# Debian wants manual pages and changelogs compressed with gzip -9, without a timestamp (-n) so
# that the same input gives the same package.
set(OSTREL_GZIPPED_DIR "${CMAKE_CURRENT_BINARY_DIR}/packaging")
set(OSTREL_GZIPPED)
foreach(name ostrel-sensor-helper.1 changelog)
  set(in "${CMAKE_CURRENT_SOURCE_DIR}/packaging/${name}")
  set(out "${OSTREL_GZIPPED_DIR}/${name}.gz")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${OSTREL_GZIPPED_DIR}"
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh "${in}" "${out}"
    DEPENDS "${in}"
    VERBATIM)
  list(APPEND OSTREL_GZIPPED "${out}")
endforeach()
add_custom_target(ostrel_gzipped_docs ALL DEPENDS ${OSTREL_GZIPPED})

install(TARGETS ostrel-sensor-helper RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${OSTREL_GZIPPED_DIR}/ostrel-sensor-helper.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES README.md packaging/copyright DESTINATION "${OSTREL_DOC_DIR}")
install(FILES packaging/70-ostrel-power.rules
        DESTINATION lib/udev/rules.d COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${OSTREL_GZIPPED_DIR}/changelog.gz"
        DESTINATION "${OSTREL_DOC_DIR}" COMPONENT deb EXCLUDE_FROM_ALL)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${OSTREL_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Ostrel)
set(CPACK_PACKAGE_CONTACT "${OSTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The default install plus the package-only component, in one package.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/"
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};deb;/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "live temperatures, fan speeds and power for the Ostrel application")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A small always-on background program that reads this machine's live
temperatures, fan speeds and CPU/GPU power from sysfs and serves them as one
JSON document per request over HTTP/1.1 on 127.0.0.1:53843, for the Sensors
page of the Ostrel application. It can register itself as a login item (an XDG
autostart entry).
.
The RAPL energy counters are readable by root only. The package adds the system
group ostrel-power and a udev rule that lets that group read them; nobody gains
access until an administrator adds a user to the group.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ostrel.app/")
# Shared libraries are found by dpkg-shlibdeps (ICU, the C++ runtime, libc); postinst needs
# addgroup.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
# The launch alert is drawn by either tool and falls back to standard error without them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity | kdialog")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
