# Cross-build for 64-bit ARM Linux (arm64) with Debian's aarch64-linux-gnu
# compilers, against a separate Debian arm64 root used as the sysroot: its
# libraries and headers (libjpeg, libusb, GoogleTest, Qt 6) are the target's.
# scripts/build-arm64 makes that root (mmdebstrap) and uses this file.
#
# The root: TALVEX_ARM64_ROOT, default build-arm64-root at the top of the tree.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(_triple aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)
set(CMAKE_AR ${_triple}-gcc-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triple}-gcc-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${_triple}-strip CACHE FILEPATH "")

if(NOT TALVEX_ARM64_ROOT)
  if(DEFINED ENV{TALVEX_ARM64_ROOT})
    set(TALVEX_ARM64_ROOT $ENV{TALVEX_ARM64_ROOT})
  else()
    get_filename_component(TALVEX_ARM64_ROOT ${CMAKE_CURRENT_LIST_DIR}/../../build-arm64-root ABSOLUTE)
  endif()
endif()
if(NOT EXISTS ${TALVEX_ARM64_ROOT}/usr/lib/${_triple})
  message(FATAL_ERROR "no arm64 root at ${TALVEX_ARM64_ROOT}: scripts/build-arm64 makes one")
endif()
# try_compile projects read this file again; hand them the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALVEX_ARM64_ROOT)

set(CMAKE_SYSROOT ${TALVEX_ARM64_ROOT})
set(CMAKE_FIND_ROOT_PATH ${TALVEX_ARM64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (libusb) reads the root's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TALVEX_ARM64_ROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    ${TALVEX_ARM64_ROOT}/usr/lib/${_triple}/pkgconfig:${TALVEX_ARM64_ROOT}/usr/share/pkgconfig)

# Qt's build tools (moc, uic, rcc) are the host's, of the same Qt version.
if(NOT QT_HOST_PATH)
  set(QT_HOST_PATH /usr)
endif()
if(NOT QT_HOST_PATH_CMAKE_DIR)
  execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH OUTPUT_VARIABLE _host_multiarch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_host_multiarch)
    set(QT_HOST_PATH_CMAKE_DIR ${QT_HOST_PATH}/lib/${_host_multiarch}/cmake)
  endif()
endif()

# CTest runs the test programs (and lists their tests) under user-mode qemu,
# with the root as the place of the dynamic loader and the libraries.
find_program(TALVEX_QEMU_AARCH64 qemu-aarch64-static)
find_program(TALVEX_QEMU_AARCH64 qemu-aarch64)
if(TALVEX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TALVEX_QEMU_AARCH64} -L ${TALVEX_ARM64_ROOT})
endif()
