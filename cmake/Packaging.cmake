# What an installed Sondrel needs beside the files the folders install (the
# program, the help file, the icons): the manual page, the Debian copyright and
# changelog, the AppStream metainfo, the lintian overrides, and the Debian package itself. Included after every folder, so all
# their install rules are in place when CPack reads them.
if(SONDREL_ENGINE_ONLY)
  return()
endif()

set(SONDREL_PACKAGE_MAINTAINER "Sondrel Developers <dev@sondrel.invalid>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

set(SONDREL_DEVELOPERS "Sondrel Developers")
# The date of this version, once for the Debian changelog and once for AppStream.
set(SONDREL_RELEASE_DATE_RFC2822 "Tue, 08 Dec 2026 00:00:00 +0000")
set(SONDREL_RELEASE_DATE 2026-12-08)

set(sondrel_packaging_dir ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${sondrel_packaging_dir}/changelog @ONLY)
set(sondrel_metainfo ${sondrel_packaging_dir}/org.sondrel.Sondrel.metainfo.xml)
configure_file(${PROJECT_SOURCE_DIR}/packaging/org.sondrel.Sondrel.metainfo.xml.in ${sondrel_metainfo} @ONLY)

# lintian wants manual pages and changelogs compressed with gzip -9 and without
# the name and time stamp gzip would otherwise store, so the package is reproducible.
set(sondrel_man_page ${sondrel_packaging_dir}/sondrel.1.gz)
set(sondrel_changelog ${sondrel_packaging_dir}/changelog.gz)
add_custom_command(
  OUTPUT ${sondrel_man_page}
  COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/sondrel.1 ${sondrel_man_page}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/sondrel.1
  COMMENT "Compressing the manual page sondrel.1"
  VERBATIM)
add_custom_command(
  OUTPUT ${sondrel_changelog}
  COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${sondrel_packaging_dir}/changelog ${sondrel_changelog}
  DEPENDS ${sondrel_packaging_dir}/changelog
  VERBATIM)
add_custom_target(sondrel_package_docs ALL DEPENDS ${sondrel_man_page} ${sondrel_changelog})

install(FILES ${sondrel_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The headless service, installed disabled. lib/systemd/system under the
# prefix: /usr/lib/systemd/system for the package, /usr/local/lib/systemd/system
# for `make install`; systemd reads both.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sondrel.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${sondrel_changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${sondrel_metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME sondrel)

# The Debian package: `cpack -G DEB` in the build folder (or `make package`)
# writes sondrel_<version>_amd64.deb there.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sondrel)
set(CPACK_PACKAGE_VENDOR ${SONDREL_DEVELOPERS})
set(CPACK_PACKAGE_CONTACT ${SONDREL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)  # the postinst grants the capabilities to /usr/libexec/sondrel/sondrel-probe
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SONDREL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "desktop monitor of the network traffic of each application
Sondrel shows which application on this computer exchanges how many bytes
with which remote hosts. It captures the network interface that carries the
configured IPv4 address, names each packet after the process that owns its
local port, and shows live lists of applications and of their remote
endpoints. It exports HTML and CSV reports and can write a CSV report every
midnight.
.
The window holds no privilege. A small capture helper does the capturing
and names the owners of ports; the package grants it the capabilities it
needs, and members of the group \"sondrel\" may run it. A systemd service,
disabled until enabled, runs the monitor without a window and serves its
counters to Prometheus.")
# dpkg-shlibdeps finds the Qt, libcap, SQLite (libsqlite3-0) and C++ runtime. libpcap is opened with
# dlopen, which it cannot see; setcap comes from libcap2-bin, addgroup and
# adduser (the group, and the service's account) from adduser.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcap0.8, libcap2-bin, adduser")
# The link control opens its targets with xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
