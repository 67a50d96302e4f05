# Cross build for 64-bit ARM Linux (Debian's arm64) with Debian's cross
# compiler, against the arm64 LCM and libmicrohttpd (with GnuTLS) unpacked into
# VARNOCK_ARM64_SYSROOT (scripts/package-arm64 makes it) and the multiarch
# arm64 GLib. The target's LCM cannot be installed beside the build host's:
# Debian 12's liblcm packages are not Multi-Arch, so installing one arch
# removes the other.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(VARNOCK_DEB_ARCHITECTURE arm64)

set(VARNOCK_ARM64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-arm64/sysroot"
  CACHE PATH "The arm64 LCM and libmicrohttpd, unpacked from their Debian packages")
# The cross pkg-config reads the arm64 multiarch folders (GLib); LCM's and
# libmicrohttpd's .pc, rewritten to their unpacked prefix, come first.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config)
set(ENV{PKG_CONFIG_PATH} "${VARNOCK_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig")
# The linker follows liblcm.so.1 to GLib in the multiarch folder, and
# libmicrohttpd.so.12 to GnuTLS in the sysroot.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-Wl,-rpath-link,${VARNOCK_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu:/usr/lib/aarch64-linux-gnu")

# The man pages are made from the programs' own --help, run under qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/run-arm64")
