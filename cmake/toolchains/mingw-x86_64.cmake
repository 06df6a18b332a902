# Cross-build for 64-bit Windows with mingw-w64. Never shipped (the vendor
# libraries are 32-bit): it runs the Windows tests on machines whose kernel
# runs no 32-bit programs, under wine's 64-bit loader.
#
# Dependencies: TALVEX_WIN_DEPS, default build-win-deps/x86_64 in the tree.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_triple x86_64-w64-mingw32)
set(_arch x86_64)
# The 64-bit loader itself: Debian's wine script would pick the 32-bit one,
# which such a kernel cannot start. It starts other programs through
# WINELOADER.
find_program(TALVEX_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(TALVEX_WINE64 wine64)
if(TALVEX_WINE64)
  set(_emulator ${CMAKE_COMMAND} -E env WINELOADER=${TALVEX_WINE64} ${TALVEX_WINE64})
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
