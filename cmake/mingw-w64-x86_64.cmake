# Cross build for 64-bit Windows with MinGW-w64 (x86_64), for 64-bit host programs of the library.
# Linked statically like the 32-bit build; test programs run under 64-bit Wine, which runs on
# machines that cannot start 32-bit programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZQ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZQ_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The 64-bit loader itself: Debian's `wine` script prefers the 32-bit loader whenever it is
# installed, even where the kernel cannot start it.
find_program(ZQ_WINE_PROGRAM NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT ZQ_WINE_PROGRAM)
  find_program(ZQ_WINE_PROGRAM NAMES wine64 wine)
endif()
if(ZQ_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZQ_WINE_PROGRAM})
endif()

# Test lists are read from the test programs when the tests run (under Wine, with the test
# environment), not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
