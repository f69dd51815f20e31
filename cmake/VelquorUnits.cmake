# Helpers that turn a source folder into a static library of its units and a
# test program of the *_test.cc files beside them.

# velquor_unit_sources(<out-var> [EXCLUDE name.cc ...])
# The folder's *.cc files that are not tests (and not excluded).
function(velquor_unit_sources out)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  set(result)
  foreach(f IN LISTS all)
    get_filename_component(name ${f} NAME)
    if(name MATCHES "_test\\.cc$")
      continue()
    endif()
    if(name IN_LIST ARG_EXCLUDE)
      continue()
    endif()
    list(APPEND result ${f})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# velquor_unit_tests(<test-program> LIBS lib ... [SOURCES file ...])
# Builds the folder's *_test.cc files (if any; SOURCES instead when given) into
# one GoogleTest program and registers each test with CTest. A Windows build
# registers the program as one test, run under the cross-compiling emulator:
# listing its tests would start the emulator once more per program.
function(velquor_unit_tests name)
  if(NOT VELQUOR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
  if(ARG_SOURCES)
    set(tests ${ARG_SOURCES})
  else()
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  endif()
  if(NOT tests)
    return()
  endif()
  add_executable(${name} ${tests})
  if(WIN32)
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:velquor_resources>)
    # GCC 12 optimising std::string concatenations of test texts reports
    # overlapping copies that cannot happen (-Wrestrict false positives).
    target_compile_options(${name} PRIVATE -Wno-restrict)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "VELQUOR_TEST=1")
    return()
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main
                                        Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "VELQUOR_TEST=1")
endfunction()
