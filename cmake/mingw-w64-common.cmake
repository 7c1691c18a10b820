# What both MinGW-w64 cross builds share; the toolchain file of each word size sets
# CMAKE_SYSTEM_PROCESSOR and ZQ_MINGW_PREFIX first. The programs and the DLL are linked statically
# against libgcc, libstdc++ and winpthread, so they need no runtime DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)

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

# Test lists are read from the test programs when the tests run (under Wine, with the test
# environment), not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
