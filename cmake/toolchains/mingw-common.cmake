# The part of the mingw-w64 toolchain files that both architectures share.
# The including file sets _triple, _arch (the folder under build-win-deps/)
# and _emulator (the wine loader that runs this architecture's programs).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR ${_triple}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triple}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT TALVEX_WIN_DEPS)
  if(DEFINED ENV{TALVEX_WIN_DEPS})
    set(TALVEX_WIN_DEPS $ENV{TALVEX_WIN_DEPS})
  else()
    get_filename_component(TALVEX_WIN_DEPS ${CMAKE_CURRENT_LIST_DIR}/../../build-win-deps/${_arch} ABSOLUTE)
  endif()
endif()
# try_compile projects read this file again; hand them the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALVEX_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple} ${TALVEX_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only system DLLs at run time: the C and C++ runtimes and winpthread are
# linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# __stdcall exports keep their plain names (GetBmp, not _GetBmp@8).
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--kill-at")
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/mingw-overrides.cmake)

# CTest runs the test programs (and lists their tests) under wine.
if(_emulator)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_emulator})
endif()
