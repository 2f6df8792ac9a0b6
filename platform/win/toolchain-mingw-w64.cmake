# Cross toolchain of the Windows driver build: Debian's mingw-w64 for x86-64 (g++-mingw-w64-x86-64,
# mingw-w64-x86-64-dev, binutils-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${_mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER ${_mingw}-g++ REQUIRED)
find_program(CMAKE_DLLTOOL ${_mingw}-dlltool REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A kernel image has no C runtime to link CMake's user-mode test programs against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
