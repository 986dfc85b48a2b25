# Cross build for Windows with Debian's MinGW-w64 (i686) compilers:
#   cmake -S . -B build-win$BITS -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(JTAGNAND_MINGW_PREFIX i686-w64-mingw32)
# The win32 thread model: no winpthread DLL for the program to need.
find_program(CMAKE_CXX_COMPILER NAMES ${JTAGNAND_MINGW_PREFIX}-g++-win32 ${JTAGNAND_MINGW_PREFIX}-g++
             REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${JTAGNAND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the compiler's runtime in, so that the .exe needs only the DLLs every
# Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
