# The part of the MinGW-w64 cross builds that both word sizes share; the
# toolchain files set CMAKE_SYSTEM_PROCESSOR and JTAGNAND_MINGW_PREFIX first.
set(CMAKE_SYSTEM_NAME Windows)

# The win32 thread model: no winpthread DLL for the program to need.
find_program(CMAKE_CXX_COMPILER NAMES ${JTAGNAND_MINGW_PREFIX}-g++-win32 ${JTAGNAND_MINGW_PREFIX}-g++
             REQUIRED)
# GoogleTest, built from source for the cross-built tests, also compiles C.
find_program(CMAKE_C_COMPILER NAMES ${JTAGNAND_MINGW_PREFIX}-gcc-win32 ${JTAGNAND_MINGW_PREFIX}-gcc
             REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${JTAGNAND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the compiler's runtime in, so that the .exe needs only the DLLs every
# Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
