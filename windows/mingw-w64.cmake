# CMake toolchain for 64-bit Windows with Debian's mingw-w64 cross compiler
# (g++-mingw-w64-x86-64-posix), used by scripts/windows-build:
#   cmake -DCMAKE_TOOLCHAIN_FILE=windows/mingw-w64.cmake -DVELKA_WINDOWS_CROSS=ON ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# The plain names are Debian's alternatives; the -posix ones are the
# threading model the package installs.
find_program(CMAKE_C_COMPILER NAMES x86_64-w64-mingw32-gcc x86_64-w64-mingw32-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES x86_64-w64-mingw32-g++ x86_64-w64-mingw32-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES x86_64-w64-mingw32-windres)

# Libraries and headers come from the cross sysroot only; programs run here.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
