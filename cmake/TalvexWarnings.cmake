# Strict warnings for the project's own targets (not for third-party code).
# Warnings become errors only when asked (scripts/build and CI ask): a
# packager's compiler or flags may warn where ours do not.
option(TALVEX_WERROR "Treat compiler warnings as errors in the project's own targets" OFF)

# The warning options, for the C++ sources of a target.
function(talvex_warning_flags out)
  if(MSVC)
    set(flags /W4)
    if(TALVEX_WERROR)
      list(APPEND flags /WX)
    endif()
  else()
    set(flags -Wall -Wextra)
    if(TALVEX_WERROR)
      list(APPEND flags -Werror)
    endif()
  endif()
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

function(talvex_strict target)
  talvex_warning_flags(flags)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX,C>:${flags}>)
endfunction()

# A static library of one subsystem: every .cpp in the folder, plus the
# sources of the platform backend folder(s) given after BACKENDS.
function(talvex_subsystem name dir)
  cmake_parse_arguments(ARG "" "" "DEPS;BACKENDS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(b IN LISTS ARG_BACKENDS)
    file(GLOB bsrcs CONFIGURE_DEPENDS ${dir}/${b}/*.cpp)
    list(APPEND srcs ${bsrcs})
  endforeach()
  if(NOT srcs)
    # A subsystem of headers only.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  talvex_strict(${name})
endfunction()

# One test executable per folder of tests/: every *_test.cpp and
# *_fixture.cpp in it, and the files given after SOURCES (shared from another
# folder). Compile definitions, dependencies and an output folder of its own
# go on the target after the call.
function(talvex_test_folder name dir)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS;SOURCES" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*_test.cpp ${dir}/*_fixture.cpp)
  list(APPEND srcs ${ARG_SOURCES})
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  talvex_strict(${name})
  if(ARG_LABELS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
