# The Debian package, made by cpack in the build folder (scripts/package):
# varnock_<version>_<arch>.deb. Its dependencies are the shared libraries the
# programs link, found by dpkg-shlibdeps (package dpkg-dev).
set(VARNOCK_MAINTAINER "varnock maintainers <maintainers@users.noreply.c-seed-44bea902.example>"
  CACHE STRING "Maintainer field of the Debian package")

# What Debian asks of every package's documentation folder: the licence in
# the machine-readable copyright format, and the changelog, gzipped without a
# name or time stamp so that the same sources make the same package.
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.Debian.in
  ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
  COMMAND ${GZIP} -9nkf ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(varnock_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
  ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnock)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "load generator and checker for the LCM message bus")
set(CPACK_PACKAGE_DESCRIPTION
  "varnock publishes, as fast as the machine allows, a 63-byte status record and
a 1280 x 1280 test-pattern image (1.6 MB) on an LCM bus, and prints the cycle
rate it achieves. varnock-check subscribes, checks every message whole and
reports second by second what arrived, what was lost and what was damaged,
as text, JSON or CSV. varnock-pace publishes the same stream at a chosen rate
and frame size, to reproduce a stream of your own and find where loss begins.
varnock-gather shows the accounts that varnock-check --share publishes from
every host of a test in one view.")
set(CPACK_PACKAGE_CONTACT "${VARNOCK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VARNOCK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING)
  # cpack's dpkg-shlibdeps looks for the libraries among this host's installed
  # packages, where the target's LCM cannot be (cmake/aarch64-linux-gnu.cmake);
  # scripts/package-arm64 works the Depends out from the target's shlibs.
  set(VARNOCK_DEB_DEPENDS "" CACHE STRING "Depends field of a cross-built package")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VARNOCK_DEB_ARCHITECTURE})
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${VARNOCK_DEB_DEPENDS}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Not the builder's umask: Debian expects 0755 folders.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
