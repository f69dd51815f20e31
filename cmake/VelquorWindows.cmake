# What a Windows build needs beyond the sources: GoogleTest built from
# Debian's source package with the cross compiler, and Wine to run the tests.

# The export-table check runs on every Windows build.
enable_testing()
if(VELQUOR_BUILD_TESTS)
  set(VELQUOR_GTEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest sources to build with the cross compiler")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${VELQUOR_GTEST_SOURCE} googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()

  # Every test program runs under wine64 in a prefix of its own in the build
  # tree, created at the first run; WINEDEBUG silences Wine's own messages.
  find_program(VELQUOR_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(VELQUOR_WINE64)
    set(VELQUOR_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_COMMAND} -E env WINEPREFIX=${VELQUOR_WINEPREFIX} WINEDEBUG=-all
        WINEDLLOVERRIDES=mscoree,mshtml= ${VELQUOR_WINE64})
  endif()
endif()
