# Cross build for Windows with mingw-w64's posix-thread toolchain (the win32
# thread model lacks std::mutex, which GoogleTest needs).
# VEXLODE_ARCH: i686 (the shipped 32-bit stub, run under 32-bit Wine) or x86_64
# (the same sources under wine64, for machines whose kernel cannot run 32-bit
# programs).
if(NOT VEXLODE_ARCH)
  set(VEXLODE_ARCH i686)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VEXLODE_ARCH})
set(triple ${VEXLODE_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(VEXLODE_ARCH STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
endif()
