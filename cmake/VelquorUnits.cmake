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

# velquor_discover_tests(<test-program> [CONCURRENCY Suite.Name ...] [PROPERTIES ...])
# Registers each test of the program with CTest. The tests named after
# CONCURRENCY run threads or processes against each other: they get the label
# "concurrency", which the thread-sanitizer run selects.
function(velquor_discover_tests name)
  cmake_parse_arguments(ARG "" "" "CONCURRENCY;PROPERTIES" ${ARGN})
  if(NOT ARG_CONCURRENCY)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${ARG_PROPERTIES})
    return()
  endif()
  string(JOIN ":" concurrent ${ARG_CONCURRENCY})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${concurrent}"
                       PROPERTIES LABELS concurrency ${ARG_PROPERTIES})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${concurrent}"
                       PROPERTIES ${ARG_PROPERTIES})
endfunction()

# velquor_unit_tests(<test-program> LIBS lib ... [SOURCES file ...]
#                    [CONCURRENCY Suite.Name ...])
# Builds the folder's *_test.cc files (if any; SOURCES instead when given) into
# one GoogleTest program and registers each test with CTest (see
# velquor_discover_tests). A Windows build registers the program as one test,
# run under the cross-compiling emulator: listing its tests would start the
# emulator once more per program.
function(velquor_unit_tests name)
  if(NOT VELQUOR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES;CONCURRENCY" ${ARGN})
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
  velquor_discover_tests(${name} CONCURRENCY ${ARG_CONCURRENCY}
                         PROPERTIES ENVIRONMENT "VELQUOR_TEST=1")
endfunction()
