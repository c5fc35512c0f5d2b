# `make package`: a Debian package that lintian accepts. CPack builds the
# archive; stage.cmake finishes the staged tree first, as debhelper would.

# The newest entry of the Debian changelog gives the version, so the two
# cannot disagree: "(0.1.0-1)" is upstream 0.1.0, package revision 1.
set(DEB_CHANGELOG "${CMAKE_CURRENT_LIST_DIR}/changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${DEB_CHANGELOG}")
file(STRINGS "${DEB_CHANGELOG}" newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^seguir-recortar \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line names no version: ${newest}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME seguir-recortar)
set(CPACK_PACKAGE_VERSION "${CMAKE_MATCH_1}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${CMAKE_MATCH_2}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "track a region through a video and cut out image backgrounds")
set(CPACK_PACKAGE_DESCRIPTION_FILE "${CMAKE_CURRENT_LIST_DIR}/description")
set(CPACK_PACKAGE_CONTACT "seguir-recortar maintainers <maintainers@users.noreply.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The one library dpkg-shlibdeps cannot see: stills/ opens libheif only when a
# HEIF/AVIF file comes, to keep it out of every start-up.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libheif1)
# CPack's own dependency scan is off: it takes every shared object under
# usr/lib for a public library and calls ldconfig from the maintainer scripts,
# but our modules are private and dlopen()ed by path. stage.cmake runs
# dpkg-shlibdeps itself, on the stripped files.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/stage.cmake")
set(CPACK_STAGE_STRIP "${CMAKE_STRIP}")
include(CPack)
