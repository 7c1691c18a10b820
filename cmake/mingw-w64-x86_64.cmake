# Cross build for 64-bit Windows with MinGW-w64 (x86_64), for 64-bit host programs of the library.
# Test programs run under 64-bit Wine, which runs on machines that cannot start 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZQ_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# The 64-bit loader itself: Debian's `wine` script prefers the 32-bit loader whenever it is
# installed, even where the kernel cannot start it.
find_program(ZQ_WINE_PROGRAM NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT ZQ_WINE_PROGRAM)
  find_program(ZQ_WINE_PROGRAM NAMES wine64 wine)
endif()
if(ZQ_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZQ_WINE_PROGRAM})
endif()
