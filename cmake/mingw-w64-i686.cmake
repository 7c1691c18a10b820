# Cross build for 32-bit Windows with MinGW-w64 (i686). Test programs run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZQ_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

find_program(ZQ_WINE_PROGRAM NAMES wine)
if(ZQ_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZQ_WINE_PROGRAM})
endif()
