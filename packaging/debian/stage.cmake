# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files, before the Debian package is made
# from them: the man page compressed, the copyright file and the changelog added, as Debian's
# policy wants them. `cmake --install` is not affected and installs the plain man page.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(man "${root}/share/man/man1/pow2bmp.1")
set(doc "${root}/share/doc/pow2bmp")
if(NOT EXISTS "${man}")
  message(FATAL_ERROR "stage.cmake: no man page at ${man}")
endif()

# gzip -9n: best compression, no name or time stamp in the header, so the bytes are reproducible.
function(gzip_into source target)
  execute_process(COMMAND gzip -9nc "${source}" OUTPUT_FILE "${target}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "stage.cmake: gzip failed on ${source}")
  endif()
  file(CHMOD "${target}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

gzip_into("${man}" "${man}.gz")
file(REMOVE "${man}")

file(MAKE_DIRECTORY "${doc}")
file(COPY "${CPACK_POW2BMP_DEBIAN_DIR}/copyright" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
gzip_into("${CPACK_POW2BMP_DEBIAN_DIR}/changelog" "${doc}/changelog.Debian.gz")

# Lintian overrides, for tags that do not apply to a package made outside Debian's archive.
set(overrides "${root}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY "${CPACK_POW2BMP_DEBIAN_DIR}/lintian-overrides/pow2bmp" DESTINATION "${overrides}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Every folder rwxr-xr-x, whatever the umask of the one who packs.
file(CHMOD_RECURSE "${root}" DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
