# Cross build for 32-bit Windows with MinGW-w64 (i686). The programs and the DLL are linked
# statically against libgcc, libstdc++ and winpthread, so they need no runtime DLLs beside them.
# Test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZQ_MINGW_PREFIX i686-w64-mingw32)
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

find_program(ZQ_WINE_PROGRAM NAMES wine)
if(ZQ_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZQ_WINE_PROGRAM})
endif()

# Test lists are read from the test programs when the tests run (under Wine, with the test
# environment), not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
