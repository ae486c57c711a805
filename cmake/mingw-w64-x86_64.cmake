# Cross-builds the core for 64-bit Windows with Debian's mingw-w64 (the POSIX
# thread model, which std::thread needs) and runs what it builds under wine:
#   cmake -S . -B _build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MERIVANE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MERIVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MERIVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MERIVANE_MINGW_TRIPLET}-windres)

# Libraries and headers (zlib) come from the mingw sysroot only; programs are
# the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${MERIVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables and the Python extension modules link libgcc, libstdc++,
# winpthread and zlib statically, so they load without the compiler's DLLs
# beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)

# ctest runs the test executables through wine (Debian's wine64 package puts
# its loader outside the PATH).
find_program(MERIVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MERIVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MERIVANE_WINE})
endif()
