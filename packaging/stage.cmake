# Run by CPack on the staged tree of the .deb, after the install rules and
# before the archive is made (CPACK_PRE_BUILD_SCRIPTS): what debhelper's
# dh_strip, dh_shlibdeps, dh_compress and dh_installchangelogs would do. It
# goes by what the files are, not where they lie, so the install rules may put
# modules and data in any folder, and `make install` stays as it was.

set(root "${CPACK_TEMPORARY_DIRECTORY}")
set(doc "${root}/usr/share/doc/${CPACK_PACKAGE_NAME}")
find_program(GZIP gzip REQUIRED)
find_program(SHLIBDEPS dpkg-shlibdeps REQUIRED)

# gzip -9n, as Debian wants: no name or time inside, so the same input gives
# the same bytes.
function(gzip_to source target)
  execute_process(COMMAND "${GZIP}" -9nc "${source}" OUTPUT_FILE "${target}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${source}: status ${status}")
  endif()
  file(CHMOD "${target}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# Every ELF file, whatever its folder: stripped like dh_strip does.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${root}/*")
set(elves)
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${CPACK_STAGE_STRIP}" --strip-unneeded
                            --remove-section=.comment --remove-section=.note "${file}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "strip ${file}: status ${status}")
    endif()
    list(APPEND elves "${file}")
  endif()
endforeach()

# Depends from the libraries those files link. dpkg-shlibdeps wants a
# debian/control beside it and a DEBIAN folder at the package's root to
# resolve $ORIGIN; both are removed before the archive is made.
if(elves)
  file(WRITE "${root}/debian/control" "")
  file(MAKE_DIRECTORY "${root}/DEBIAN")
  execute_process(COMMAND "${SHLIBDEPS}" --ignore-missing-info -O ${elves}
                  WORKING_DIRECTORY "${root}" RESULT_VARIABLE status
                  OUTPUT_VARIABLE found ERROR_VARIABLE complaints)
  file(REMOVE_RECURSE "${root}/debian" "${root}/DEBIAN")
  if(NOT status EQUAL 0 OR NOT found MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "dpkg-shlibdeps: status ${status}: ${complaints}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()

# Manual pages compressed, in whatever section they were installed.
file(GLOB_RECURSE pages LIST_DIRECTORIES false "${root}/usr/share/man/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    gzip_to("${page}" "${page}.gz")
    file(REMOVE "${page}")
  endif()
endforeach()

# The Debian changelog and the machine-readable copyright.
file(MAKE_DIRECTORY "${doc}")
gzip_to("${CMAKE_CURRENT_LIST_DIR}/changelog" "${doc}/changelog.Debian.gz")
file(COPY_FILE "${CMAKE_CURRENT_LIST_DIR}/copyright" "${doc}/copyright")
file(CHMOD "${doc}/copyright" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
