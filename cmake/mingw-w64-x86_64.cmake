# Cross-building corvane-cli for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix: the POSIX thread model, so std::thread works).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCORVANE_WINDOWS_DEPS=.cache/windows-deps/prefix -DCORVANE_QT=OFF -DCORVANE_TESTS=OFF
#
# The libraries come from /usr/x86_64-w64-mingw32 (zlib) and from the folder
# scripts/build-windows-deps fills (everything else). Everything is linked
# statically, so the program needs no DLL beyond Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_mingw x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR ${_mingw}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mingw}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT CORVANE_WINDOWS_DEPS)
  get_filename_component(CORVANE_WINDOWS_DEPS ${CMAKE_CURRENT_LIST_DIR}/../.cache/windows-deps/prefix ABSOLUTE)
endif()
set(CORVANE_WINDOWS_DEPS ${CORVANE_WINDOWS_DEPS} CACHE PATH "Where scripts/build-windows-deps installed the libraries")

set(CMAKE_FIND_ROOT_PATH ${CORVANE_WINDOWS_DEPS} /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives only: find_library never settles for an import library.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ZLIB_USE_STATIC_LIBS ON)

# pkg-config looks only at the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${CORVANE_WINDOWS_DEPS}/lib/pkgconfig:/usr/${_mingw}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the .exe under Wine.
find_program(CORVANE_WINE NAMES wine wine64)
if(CORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE})
endif()

# Header-only libraries (CLI11) are copied into the same folder.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${CORVANE_WINDOWS_DEPS}/include)
