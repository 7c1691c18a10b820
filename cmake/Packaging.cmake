# Packages of what `cmake --install` lays out: on Linux a .tar.gz and a .deb (with a -dbgsym
# package holding the debug information of its programs and library), on Windows a .zip named for
# its word size (-win32, -win64). With ZQ_PACKAGE_WINDOWS the Linux build also builds this source
# tree for Win32 and Win64 (sub-builds win32/ and win64/ of the build directory), so one build
# directory makes all four packages; the package presets run CPack with each sub-build's
# CPackConfig.cmake. All packages land in ZQ_PACKAGE_OUTPUT_DIR.
option(ZQ_PACKAGE_WINDOWS "Cross-build the Win32 and Win64 packages too (MinGW-w64)" OFF)
option(ZQ_PACKAGE_TESTS "Register the tests of the built packages (label package)" OFF)
set(ZQ_PACKAGE_OUTPUT_DIR ${CMAKE_BINARY_DIR}/packages CACHE PATH
    "Directory the packages are written to")
set(ZQ_PACKAGE_JOBS 2 CACHE STRING "Parallel jobs of each Windows sub-build")

set(CPACK_PACKAGE_NAME zq-programmer-host)
set(CPACK_PACKAGE_CONTACT "ZQ host software maintainers <zq-host@example.org>")
# Pages and licence in share/doc/<package>, where Debian wants them, in every package.
set(ZQ_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})

# Install components beside those of the programs and the library:
# - Documentation: the Markdown pages and README.md; on Linux also the manual pages.
# - License: the LICENSE file, in the archives (tarball, zips, `cmake --install`).
# - Debian: only in the .deb (installed when asked for by name): the licence as Debian's
#   machine-readable copyright file, the Debian changelog and lintian's overrides. Debian wants no
#   other licence file, so the .deb leaves out License.
file(GLOB zq_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${zq_pages} ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${ZQ_PACKAGE_DOCDIR} COMPONENT Documentation)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${ZQ_PACKAGE_DOCDIR} COMPONENT License)

if(NOT WIN32)
  find_program(ZQ_GZIP gzip REQUIRED)
  set(zq_compressed_files)
  # gzip -9n as Debian wants it: the most compression, and neither the file's name nor its time
  # in the header, so the same text always gives the same bytes.
  function(zq_gzip source output)
    string(REGEX REPLACE "\\.gz$" "" uncompressed ${output})
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${uncompressed}
      COMMAND ${ZQ_GZIP} -9nf ${uncompressed}
      DEPENDS ${source}
      COMMENT "Compressing ${source}"
      VERBATIM)
    set(zq_compressed_files ${zq_compressed_files} ${output} PARENT_SCOPE)
  endfunction()

  # The manual pages, each in the directory of its section. Whatever pages docs/man holds are
  # installed; the Windows packages keep to the Markdown pages.
  file(GLOB zq_manual_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[1-9])
  foreach(page IN LISTS zq_manual_pages)
    get_filename_component(name ${page} NAME)
    string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" section ${name})
    zq_gzip(${page} ${CMAKE_BINARY_DIR}/man/man${section}/${name}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/man/man${section}/${name}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT Documentation)
  endforeach()

  # Debian's copyright file names the licence of LICENSE, with its holder and its text.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  if(NOT licence MATCHES "^([A-Za-z0-9.-]+) License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.+)$")
    message(FATAL_ERROR "LICENSE does not start with \"<name> License\" and a copyright line")
  endif()
  set(ZQ_LICENSE_NAME ${CMAKE_MATCH_1})
  set(ZQ_COPYRIGHT ${CMAKE_MATCH_2})
  # The text as a field's continuation lines: each line indented by one space, an empty one as
  # " .".
  string(STRIP "${CMAKE_MATCH_3}" licence_text)
  string(REGEX REPLACE "\n\n+" "\n.\n" licence_text "${licence_text}")
  string(REPLACE "\n" "\n " ZQ_LICENSE_TEXT " ${licence_text}")
  set(zq_debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
  configure_file(${zq_debian_dir}/copyright.in ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)

  zq_gzip(${zq_debian_dir}/changelog ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  add_custom_target(zq_compressed_files ALL DEPENDS ${zq_compressed_files})

  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${ZQ_PACKAGE_DOCDIR} COMPONENT Debian EXCLUDE_FROM_ALL)
  install(FILES ${zq_debian_dir}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME}
          COMPONENT Debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZQ device programmer host software")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Command tester, text library and simulator of the ZQ device programmer")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "ZqCmdLin runs one command of the device programmer over its serial line and"
  "writes a report and a log file beside itself. PELMORAERRI turns the"
  "programmer's error codes and status packets into English or Chinese text for"
  "host programs (C header, CMake package, pkg-config file). zq-gang runs one"
  "ZqCmdLin per port at once and reports one verdict (exit status, JUnit XML,"
  "JSON). zq-programmer-sim plays the programmer on a pseudo-terminal, for runs"
  "without hardware.")
set(CPACK_PACKAGE_DIRECTORY ${ZQ_PACKAGE_OUTPUT_DIR})
set(CPACK_VERBATIM_VARIABLES ON)
# Directories as Debian wants them whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(ZQ_PACKAGE_BASENAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME ${ZQ_PACKAGE_BASENAME}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME ${ZQ_PACKAGE_BASENAME}-win32)
  endif()
else()
  set(CPACK_GENERATOR TGZ DEB)
  string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} system)
  set(CPACK_PACKAGE_FILE_NAME ${ZQ_PACKAGE_BASENAME}-${system})
  # <name>_<version>_<architecture>.deb
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The shlibs file for libPELMORAERRI.so.1. The loader's cache is updated by the ldconfig
  # trigger (the triggers file), not by maintainer scripts.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${zq_debian_dir}/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The programs and the library are built with debug information (the package preset adds -g);
  # CPack strips them in the .deb and puts their debug information into
  # zq-programmer-host-dbgsym, found by build ID.
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
  # Each package is made of the install components it lists (CPACK_COMPONENTS_ALL), all in one
  # package: the tarball and the .deb differ in some (CPackGenerators.cmake).
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  # What differs between the generators of this build (components, stripping), and what the
  # DEB generator's packages need after CPack has made them.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/CPackGenerators.cmake)
  set(CPACK_POST_BUILD_SCRIPTS ${zq_debian_dir}/FinishPackages.cmake)
endif()
# CPack leaves CPACK_PACKAGE_FILE_NAME set to the source package's name.
set(ZQ_PACKAGE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
include(CPack)

if(ZQ_PACKAGE_WINDOWS AND NOT WIN32)
  include(ExternalProject)
  # One build at a time, each with ZQ_PACKAGE_JOBS jobs: the Linux programs first, then Win32,
  # then Win64.
  set(previous ZqCmdLin zq-gang PELMORAERRI zq-programmer-sim)
  foreach(word_size IN ITEMS win32 win64)
    if(word_size STREQUAL win32)
      set(toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake)
    else()
      set(toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake)
    endif()
    ExternalProject_Add(package-${word_size}
      SOURCE_DIR ${PROJECT_SOURCE_DIR}
      BINARY_DIR ${CMAKE_BINARY_DIR}/${word_size}
      CMAKE_GENERATOR ${CMAKE_GENERATOR}
      CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${toolchain}
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
        -DZQ_BUILD_TESTS=OFF
        -DZQ_BUILD_BENCH=OFF
        -DZQ_BUILD_EXAMPLES=OFF
        -DZQ_BUILD_FUZZ=OFF
        -DZQ_PACKAGE_OUTPUT_DIR=${ZQ_PACKAGE_OUTPUT_DIR}
      BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --parallel ${ZQ_PACKAGE_JOBS}
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      DEPENDS ${previous}
      USES_TERMINAL_CONFIGURE ON
      USES_TERMINAL_BUILD ON)
    set(previous package-${word_size})
  endforeach()
endif()

# The package tests live in tests/package under a file name of their own, so that the project's
# test areas (every tests/ subdirectory with a CMakeLists.txt) do not pick them up.
if(ZQ_PACKAGE_TESTS AND NOT WIN32)
  enable_testing()
  include(${PROJECT_SOURCE_DIR}/tests/package/PackageTests.cmake)
endif()
