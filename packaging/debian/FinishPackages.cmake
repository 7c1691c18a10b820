# Run by CPack after each generator of the Linux build (CPACK_POST_BUILD_SCRIPTS), on the packages
# it has just made and before it copies them out. It changes the DEB generator's two packages only,
# where CPack's output is not what Debian wants:
# - CPack writes a postinst and a postrm that run ldconfig when a library lies below /usr/lib. The
#   package activates the ldconfig trigger instead (its triggers file), so these two scripts are
#   left out. Any other maintainer script stops the packaging: it would be one of ours.
# - The -dbgsym package's md5sums names its files by their paths on the build machine: they are
#   listed again from the package root, as dpkg and lintian read them. Its debug files are data,
#   not programs (mode 644), and its /usr/share/doc/<name>-dbgsym links to the directory of the
#   package it belongs to (copyright, changelog), as Debian's own -dbgsym packages do.
# Each package is unpacked with dpkg-deb and built again from the changed tree.
find_program(ZQ_DPKG_DEB dpkg-deb REQUIRED)

# The scripts CPack's DEB generator writes for a library below /usr/lib.
set(cpack_postinst "#!/bin/sh\n\nset -e\n\nif [ \"$1\" = \"configure\" ]; then\n\tldconfig\nfi\n")
set(cpack_postrm "#!/bin/sh\n\nset -e\n\nif [ \"$1\" = \"remove\" ]; then\n\tldconfig\nfi\n")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

function(drop_ldconfig_scripts tree)
  foreach(script IN ITEMS preinst postinst prerm postrm)
    if(NOT EXISTS ${tree}/DEBIAN/${script})
      continue()
    endif()
    file(READ ${tree}/DEBIAN/${script} text)
    if(NOT DEFINED cpack_${script} OR NOT text STREQUAL cpack_${script})
      message(FATAL_ERROR "maintainer script ${script} in ${tree} is not CPack's ldconfig call:\n"
                          "${text}")
    endif()
    file(REMOVE ${tree}/DEBIAN/${script})
  endforeach()
endfunction()

function(finish_debug_package tree package)
  # md5sums: "<md5>  <path from the root>", one line a regular file.
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/*)
  list(FILTER files EXCLUDE REGEX "^DEBIAN/")
  list(SORT files)
  set(md5sums "")
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK ${tree}/${file})
      file(MD5 ${tree}/${file} md5)
      string(APPEND md5sums "${md5}  ${file}\n")
      if(file MATCHES "\\.debug$")
        file(CHMOD ${tree}/${file} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      endif()
    endif()
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${md5sums}")

  string(REGEX REPLACE "-dbgsym$" "" owner ${package})
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${owner} ${tree}/usr/share/doc/${package} SYMBOLIC)
endfunction()

foreach(package_file IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package_file MATCHES "\\.d?deb$")
    continue()
  endif()
  set(tree ${package_file}.tree)
  file(REMOVE_RECURSE ${tree})
  run(${ZQ_DPKG_DEB} --raw-extract ${package_file} ${tree})
  run(${ZQ_DPKG_DEB} --field ${package_file} Package Auto-Built-Package)
  if(output MATCHES "Package: ([^\n]+)\n")
    set(package ${CMAKE_MATCH_1})
  else()
    message(FATAL_ERROR "no Package field in ${package_file}: ${output}")
  endif()
  if(output MATCHES "Auto-Built-Package: debug-symbols")
    finish_debug_package(${tree} ${package})
  else()
    drop_ldconfig_scripts(${tree})
  endif()
  run(${ZQ_DPKG_DEB} --root-owner-group --build ${tree} ${package_file})
  file(REMOVE_RECURSE ${tree})
endforeach()
