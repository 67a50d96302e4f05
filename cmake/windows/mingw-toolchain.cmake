# Cross-compiling for 64-bit Windows with Debian's MinGW-w64, posix threads
# variant (GCC 12's win32 variant has no std::thread or std::mutex).
# VARNOCK_WINDOWS_DEPS: the prefix scripts/build-windows builds LCM and GLib
# into; its lib/pkgconfig is the only place pkg-config looks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(VARNOCK_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VARNOCK_WINDOWS_DEPS})
  set(ENV{PKG_CONFIG_LIBDIR} ${VARNOCK_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARNOCK_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests built for Windows run under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
