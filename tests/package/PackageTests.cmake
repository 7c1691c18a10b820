# Tests of the packages the packaging build writes to ZQ_PACKAGE_OUTPUT_DIR, labelled `package`
# (included from cmake/Packaging.cmake, Linux builds only). Each test unpacks a package and uses it
# as a user would; package_tests.py says what each one checks. They run after CPack has made the
# packages: `cmake --workflow --preset package` does both.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Tools a user of each package has. A missing one fails the tests that need it, by name.
find_program(ZQ_PACKAGE_DPKG_DEB dpkg-deb)
find_program(ZQ_PACKAGE_DPKG dpkg)
find_program(ZQ_PACKAGE_DPKG_ARCHITECTURE dpkg-architecture)
find_program(ZQ_PACKAGE_DPKG_PARSECHANGELOG dpkg-parsechangelog)
find_program(ZQ_PACKAGE_LINTIAN lintian)
find_program(ZQ_PACKAGE_GROFF groff)
find_program(ZQ_PACKAGE_MAN man)
find_program(ZQ_PACKAGE_READELF readelf)
find_program(ZQ_PACKAGE_LDD ldd)
find_program(ZQ_PACKAGE_MINGW32_GCC NAMES i686-w64-mingw32-gcc-posix i686-w64-mingw32-gcc)
find_program(ZQ_PACKAGE_MINGW64_GCC NAMES x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc)
find_program(ZQ_PACKAGE_CLANG NAMES clang clang-16 clang-15 clang-14)
find_program(ZQ_PACKAGE_LLD_LINK NAMES lld-link lld-link-16 lld-link-15 lld-link-14)
find_program(ZQ_PACKAGE_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15
                                           llvm-dlltool-14)
find_program(ZQ_PACKAGE_LLVM_READOBJ NAMES llvm-readobj llvm-readobj-16 llvm-readobj-15
                                           llvm-readobj-14)
find_program(ZQ_PACKAGE_LLVM_NM NAMES llvm-nm llvm-nm-16 llvm-nm-15 llvm-nm-14)
# Debian's `wine` script prefers the 32-bit loader whenever it is installed, even where the kernel
# cannot start it: the 64-bit runs call the 64-bit loader itself.
find_program(ZQ_PACKAGE_WINE64 wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
find_program(ZQ_PACKAGE_WINE64 wine64)
find_program(ZQ_PACKAGE_WINE wine)
find_program(ZQ_PACKAGE_WINESERVER wineserver)

set(driver ${CMAKE_CURRENT_LIST_DIR}/package_tests.py)
set(test_environment
  ZQ_PACKAGE_DIR=${ZQ_PACKAGE_OUTPUT_DIR}
  ZQ_PACKAGE_NAME=${CPACK_PACKAGE_NAME}
  ZQ_PACKAGE_VERSION=${CPACK_PACKAGE_VERSION}
  ZQ_PACKAGE_LINUX_ARCHIVE=${ZQ_PACKAGE_FILE_NAME}.tar.gz
  ZQ_PACKAGE_BASENAME=${ZQ_PACKAGE_BASENAME}
  ZQ_SIMULATOR=$<TARGET_FILE:zq-programmer-sim>
  ZQ_CMAKE=${CMAKE_COMMAND}
  ZQ_CMAKE_GENERATOR=${CMAKE_GENERATOR}
  ZQ_C_COMPILER=${CMAKE_C_COMPILER}
  ZQ_PACKAGE_LIBDIR=${CMAKE_INSTALL_LIBDIR}
  ZQ_DPKG_DEB=${ZQ_PACKAGE_DPKG_DEB}
  ZQ_DPKG=${ZQ_PACKAGE_DPKG}
  ZQ_DPKG_ARCHITECTURE=${ZQ_PACKAGE_DPKG_ARCHITECTURE}
  ZQ_DPKG_PARSECHANGELOG=${ZQ_PACKAGE_DPKG_PARSECHANGELOG}
  ZQ_LINTIAN=${ZQ_PACKAGE_LINTIAN}
  ZQ_GROFF=${ZQ_PACKAGE_GROFF}
  ZQ_MAN=${ZQ_PACKAGE_MAN}
  ZQ_READELF=${ZQ_PACKAGE_READELF}
  ZQ_LDD=${ZQ_PACKAGE_LDD}
  ZQ_MINGW32_GCC=${ZQ_PACKAGE_MINGW32_GCC}
  ZQ_MINGW64_GCC=${ZQ_PACKAGE_MINGW64_GCC}
  ZQ_CLANG=${ZQ_PACKAGE_CLANG}
  ZQ_LLD_LINK=${ZQ_PACKAGE_LLD_LINK}
  ZQ_LLVM_DLLTOOL=${ZQ_PACKAGE_LLVM_DLLTOOL}
  ZQ_LLVM_READOBJ=${ZQ_PACKAGE_LLVM_READOBJ}
  ZQ_LLVM_NM=${ZQ_PACKAGE_LLVM_NM}
  ZQ_WINE64=${ZQ_PACKAGE_WINE64}
  ZQ_WINE=${ZQ_PACKAGE_WINE}
  ZQ_WINESERVER=${ZQ_PACKAGE_WINESERVER}
  WINEPREFIX=${CMAKE_BINARY_DIR}/package-tests/wineprefix
  PYTHONDONTWRITEBYTECODE=1)
list(TRANSFORM test_environment REPLACE "=[^=]*-NOTFOUND$" "=")

set(package_tests linux:LinuxArchive deb:DebianPackage)
if(ZQ_PACKAGE_WINDOWS)
  list(APPEND package_tests win32:Win32Contents win32.wine:Win32Runs
                            win64:Win64Contents win64.wine:Win64Runs)
endif()
foreach(entry IN LISTS package_tests)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 test_class)
  add_test(NAME package.${name} COMMAND ${Python3_EXECUTABLE} ${driver} -v ${test_class})
  set_tests_properties(package.${name} PROPERTIES
    LABELS package
    TIMEOUT 600
    ENVIRONMENT "${test_environment}")
  if(name MATCHES "wine$")
    # One Wine prefix, whose COM3 each tester run points at the simulator. A runs class that
    # cannot run here (no Wine of its word size) is skipped as a whole, saying why.
    set_tests_properties(package.${name} PROPERTIES
      RESOURCE_LOCK package_wine_prefix
      SKIP_REGULAR_EXPRESSION "OK \\(skipped=")
  endif()
endforeach()

# The test command says whether 32-bit Wine can run here (ZQ_WINE32=yes|no); without it no 32-bit
# run is tried. The Win32 links and their import tables are checked either way.
if(ZQ_PACKAGE_WINDOWS AND NOT "$ENV{ZQ_WINE32}" STREQUAL "yes")
  if("$ENV{ZQ_WINE32}" STREQUAL "")
    set(reason "ZQ_WINE32 is not set, so no 32-bit Wine probe was made")
  else()
    set(reason "ZQ_WINE32=$ENV{ZQ_WINE32}, 32-bit Wine cannot run on this machine")
  endif()
  message(STATUS "package.win32.wine (ZqCmdLin.exe, MinGW and Visual C++ ABI hosts of the Win32 "
                 "zip under Wine) will be skipped: ${reason}")
endif()
