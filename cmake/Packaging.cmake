# Packages of what `cmake --install` lays out: on Linux a .tar.gz and a .deb, on Windows a .zip
# named for its word size (-win32, -win64). With ZQ_PACKAGE_WINDOWS the Linux build also builds
# this source tree for Win32 and Win64 (sub-builds win32/ and win64/ of the build directory), so
# one build directory makes all four packages; the package presets run CPack with each
# sub-build's CPackConfig.cmake. All packages land in ZQ_PACKAGE_OUTPUT_DIR.
option(ZQ_PACKAGE_WINDOWS "Cross-build the Win32 and Win64 packages too (MinGW-w64)" OFF)
option(ZQ_PACKAGE_TESTS "Register the tests of the built packages (label package)" OFF)
set(ZQ_PACKAGE_OUTPUT_DIR ${CMAKE_BINARY_DIR}/packages CACHE PATH
    "Directory the packages are written to")
set(ZQ_PACKAGE_JOBS 2 CACHE STRING "Parallel jobs of each Windows sub-build")

install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT Documentation FILES_MATCHING PATTERN "*.md")

set(CPACK_PACKAGE_NAME zq-programmer-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZQ device programmer host software")
set(CPACK_PACKAGE_CONTACT "ZQ host software maintainers <zq-host@example.org>")
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
  # The shlibs file and the ldconfig trigger for libPELMORAERRI.so.1.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
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
