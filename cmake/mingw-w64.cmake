# Shared part of the mingw-w64 toolchain files: set KILN_MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR, then include this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.3)

# The -posix compilers: the -win32 ones have no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${KILN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KILN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KILN_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${KILN_MINGW_TRIPLET}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${KILN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 8.1 is the oldest system the module supports.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0603 -DWINVER=0x0603")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0603 -DWINVER=0x0603")
# Static runtime libraries: otherwise every binary needs libstdc++-6.dll,
# libgcc_s and libwinpthread-1.dll beside it, which no user has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# ctest runs the Windows test programs through Wine. Debian 12 keeps the
# launchers in /usr/lib/wine and has no wine on PATH.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(_kiln_wine_names wine64 wine)
else()
  set(_kiln_wine_names wine)
endif()
find_program(KILN_WINE NAMES ${_kiln_wine_names} PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KILN_WINE NAMES ${_kiln_wine_names})
if(KILN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KILN_WINE})
endif()
