# Cross-build for 32-bit Windows with mingw-w64 (the posix threading variant,
# which has std::thread and std::mutex). The vendor libraries the server loads
# are 32-bit, so the shipped Windows build is i686.
#
# Dependencies built for Windows (libjpeg-turbo, GoogleTest) live in one
# prefix: TALVEX_WIN_DEPS, default build-win-deps/i686 at the top of the tree.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_triple i686-w64-mingw32)
set(_arch i686)
# Debian's wine script picks the 32-bit loader when it is installed.
find_program(TALVEX_WINE wine)
set(_emulator ${TALVEX_WINE})
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
