# The Debian package that scripts/package builds with `cpack -G DEB`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolmark)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "administers the APOP secrets of a POP3 server")
# CPack puts the summary before it, as the description's first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ztolmark creates the POP3 server's authentication database and lets mail
administrators add, change, list and delete users' APOP secrets, and every
user change his own. It is installed set-user-id to the pop account, which
owns the database.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tolmark maintainers <maintainers@tolmark.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# useradd and groupadd, and deb-systemd-helper, for the maintainer scripts
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The database's directory lies outside the prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# deb-files.cmake compresses the manual pages in the staged tree, adds the
# copyright file and the changelog, and takes the compiler's notes out of the
# program; the CPACK_TOLMARK_ names are for it.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-files.cmake)
set(CPACK_TOLMARK_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_TOLMARK_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(CPACK_TOLMARK_MANDIR ${CMAKE_INSTALL_FULL_MANDIR})
set(CPACK_TOLMARK_DOCDIR ${CMAKE_INSTALL_FULL_DOCDIR})
set(CPACK_TOLMARK_OBJCOPY ${CMAKE_OBJCOPY})
include(CPack)
