# Read by CPack once for each generator of the Linux build (CPACK_PROJECT_CONFIG_FILE), with
# CPACK_GENERATOR naming that generator: the two packages differ in these points only.
if(CPACK_GENERATOR STREQUAL "DEB")
  # Debian's copyright file states the licence, and Debian wants no other licence file; the
  # changelog and lintian's overrides belong to the .deb alone.
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL License)
  list(APPEND CPACK_COMPONENTS_ALL Debian)
  list(REMOVE_DUPLICATES CPACK_COMPONENTS_ALL)
else()
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL Debian)
  # Everything below one directory named like the tarball, as without components.
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The programs and the library are built with debug information, which the .deb moves into its
  # -dbgsym package. The tarball's are stripped; they keep their build IDs, so the debug files of
  # the -dbgsym package serve them as well.
  set(CPACK_STRIP_FILES ON)
endif()
