# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# The posix thread variant is the one whose libstdc++ has std::thread, which the tests use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(zelkor_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${zelkor_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${zelkor_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${zelkor_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${zelkor_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static C, C++ and thread runtimes: the .exe files run anywhere (and under Wine) without the
# toolchain's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Lets CMake (and ctest) run the test programs on this machine.
find_program(ZELKOR_WINE NAMES wine)
if(ZELKOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELKOR_WINE})
endif()
