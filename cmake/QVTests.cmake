# Test programs: one GoogleTest executable per folder, registered with CTest and labelled.

# Adds a GoogleTest executable for a folder's tests, registered with CTest and labelled by folder.
function(qv_add_tests name label)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  # A folder with both kinds keeps its desktop tests in tests/desktop (see qv_add_gui_tests).
  list(FILTER sources EXCLUDE REGEX "/tests/desktop/")
  # Keeps the shard variables from the test program's own children (see qv_add_test_shards).
  add_executable(${name} ${sources} ${PROJECT_SOURCE_DIR}/testing/ShardEnvironment.cpp)
  qv_test_unity_build(${name})
  target_link_libraries(${name} PRIVATE qv_testing qv_warnings ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_precompile_headers(${name} PRIVATE ${QV_PRECOMPILED_HEADERS} ${QV_ASIO_PRECOMPILED_HEADERS}
                                            ${QV_TEST_PRECOMPILED_HEADERS})
  if(QV_SANITIZE AND QV_SANITIZE_TESTS_PER_SHARD GREATER 0)
    qv_add_test_shards(${name} ${label} "${sources}")
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
                         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  endif()
endfunction()

# Under the sanitizers every test process pays for the sanitizers' start-up and for the leak check at
# exit, and a process that ran the telemetry SDK waits for its worker threads to end before that check:
# one process per test made the sanitizer test run several times longer than the tests themselves. The
# sanitizer build therefore registers each test program as a few CTest entries, `<name>_shard_<i>of<n>`,
# each running one shard of the program's tests (GoogleTest's GTEST_TOTAL_SHARDS and GTEST_SHARD_INDEX),
# about QV_SANITIZE_TESTS_PER_SHARD tests apiece; 0 registers one entry per test as the other builds do.
# A failing shard prints its whole output, whose summary names the failing tests (and a crash's report
# follows the "[ RUN      ]" line of the test that crashed). The shard variables stay out of the
# children that tests start from their own program (testing/ShardEnvironment.cpp). To run some tests only, select them with
# GTEST_FILTER (`GTEST_FILTER='Bonjour*' scripts/test --sanitize`); every shard applies the filter.
# Further arguments are VAR=value settings for every shard's environment.
set(QV_SANITIZE_TESTS_PER_SHARD 24 CACHE STRING "Tests run in one process by the sanitizer build (0: one process per test)")
function(qv_add_test_shards name label sources)
  # The test count is estimated from the test macros in the sources; a parameterised test counts once.
  set(count 0)
  foreach(source ${sources})
    file(STRINGS ${source} tests REGEX "^[ \t]*(TEST|TEST_F|TEST_P|TYPED_TEST)\\(")
    list(LENGTH tests source_count)
    math(EXPR count "${count} + ${source_count}")
  endforeach()
  math(EXPR shards "(${count} + ${QV_SANITIZE_TESTS_PER_SHARD} - 1) / ${QV_SANITIZE_TESTS_PER_SHARD}")
  if(shards LESS 1)
    set(shards 1)
  endif()
  math(EXPR last "${shards} - 1")
  foreach(index RANGE ${last})
    set(test ${name}_shard_${index}of${shards})
    add_test(NAME ${test} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tests)
    # The longest shard takes about a minute on two busy cores; a process that hangs at exit (the leak
    # checker meeting threads that still run) should not hold the run up longer than a single test did.
    set(environment GTEST_TOTAL_SHARDS=${shards} GTEST_SHARD_INDEX=${index} ${ARGN})
    set_tests_properties(${test} PROPERTIES LABELS ${label} TIMEOUT 300 ENVIRONMENT "${environment}")
  endforeach()
endfunction()

# Adds the GoogleTest executable of a desktop folder: like qv_add_tests, with a main that runs a
# QApplication on the offscreen platform (platform/desktop/testing) and the folder's test .ui forms.
# Tests whose names contain "Xvfb" need a real X server and window manager: they run in one more
# CTest entry, `<name>_xvfb`, under scripts/xvfb-run-desktop, and skip themselves elsewhere. A folder
# whose Qt-free parts have tests of their own (qv_add_tests) keeps its desktop tests in tests/desktop.
# The sanitizer build runs the offscreen tests in shards, as qv_add_tests does.
function(qv_add_gui_tests name label)
  set(tests_folder ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  if(IS_DIRECTORY ${tests_folder}/desktop)
    set(tests_folder ${tests_folder}/desktop)
  endif()
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${tests_folder}/*.cpp ${tests_folder}/*.h)
  # The tests of the assembled program are a program of their own (qv_add_program_tests).
  list(FILTER sources EXCLUDE REGEX "/tests/program/")
  add_executable(${name} ${sources} ${PROJECT_SOURCE_DIR}/testing/ShardEnvironment.cpp)
  qv_test_unity_build(${name})
  target_link_libraries(${name} PRIVATE qv_gui_testing qv_testing qv_warnings ${ARGN} GTest::gtest GTest::gmock)
  set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOUIC ON
                        AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_SOURCE_DIR}/tests/ui)
  target_precompile_headers(${name} PRIVATE ${QV_QT_PRECOMPILED_HEADERS} ${QV_PRECOMPILED_HEADERS}
                                            ${QV_ASIO_PRECOMPILED_HEADERS} ${QV_TEST_PRECOMPILED_HEADERS})
  set(environment "QT_QPA_PLATFORM=offscreen;QV_TEST_ARTEFACTS=${PROJECT_BINARY_DIR}/test-artefacts")
  if(QV_SANITIZE AND QV_SANITIZE_TESTS_PER_SHARD GREATER 0)
    qv_add_test_shards(${name} ${label} "${sources}" ${environment})
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} TEST_FILTER "-*Xvfb*"
                         PROPERTIES LABELS ${label} ENVIRONMENT "${environment}"
                         DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
                         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  endif()
  set(has_xvfb_tests FALSE)
  foreach(source ${sources})
    file(STRINGS ${source} xvfb_lines REGEX "Xvfb")
    if(xvfb_lines)
      set(has_xvfb_tests TRUE)
    endif()
  endforeach()
  if(has_xvfb_tests)
    add_test(NAME ${name}_xvfb
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/xvfb-run-desktop $<TARGET_FILE:${name}> --gtest_filter=*Xvfb*)
    set_tests_properties(${name}_xvfb PROPERTIES LABELS "${label};xvfb" TIMEOUT 120
                         ENVIRONMENT "QV_TEST_ARTEFACTS=${PROJECT_BINARY_DIR}/test-artefacts")
  endif()
endfunction()

# Defines macros that name paths in the source tree (SOURCE NAME=PATH ...) or the build tree (BUILD
# NAME=PATH ...) for a test program, as calls of qvtesting::sourceTreePath and buildTreePath
# (testing/TreePaths.h), so that no absolute path is written into the test objects. A BUILD path may be a
# generator expression such as $<TARGET_FILE:target>; it is taken relative to the build tree.
function(qv_test_tree_paths target)
  cmake_parse_arguments(arg "" "" "SOURCE;BUILD" ${ARGN})
  foreach(kind SOURCE BUILD)
    foreach(pair ${arg_${kind}})
      string(FIND "${pair}" "=" split)
      string(SUBSTRING "${pair}" 0 ${split} name)
      math(EXPR start "${split} + 1")
      string(SUBSTRING "${pair}" ${start} -1 path)
      if(kind STREQUAL "SOURCE")
        target_compile_definitions(${target} PRIVATE "${name}=qvtesting::sourceTreePath(\"${path}\")")
      else()
        target_compile_definitions(${target} PRIVATE
          "${name}=qvtesting::buildTreePath(\"$<PATH:RELATIVE_PATH,${path},${PROJECT_BINARY_DIR}>\")")
      endif()
    endforeach()
  endforeach()
endfunction()

# Adds the tests of the assembled program (a folder's tests/program): a desktop test executable each
# of whose tests is a CTest entry of its own, labelled `program`, run under scripts/xvfb-run-desktop on
# a desktop and session bus of its own, so that the tests can run side by side. Their screenshots go
# to <build>/test-artefacts/program.
function(qv_add_program_tests name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/program/*.cpp
       ${CMAKE_CURRENT_SOURCE_DIR}/tests/program/*.h)
  add_executable(${name} ${sources} ${PROJECT_SOURCE_DIR}/testing/ShardEnvironment.cpp)
  qv_test_unity_build(${name})
  target_link_libraries(${name} PRIVATE qv_gui_testing qv_testing qv_warnings ${ARGN} GTest::gtest GTest::gmock)
  set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOUIC ON
                        CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/xvfb-run-desktop)
  target_precompile_headers(${name} PRIVATE ${QV_QT_PRECOMPILED_HEADERS} ${QV_PRECOMPILED_HEADERS}
                                            ${QV_TEST_PRECOMPILED_HEADERS})
  include(GoogleTest)
  gtest_discover_tests(${name} PROPERTIES LABELS "program;xvfb" TIMEOUT 120
                       ENVIRONMENT "QV_TEST_ARTEFACTS=${PROJECT_BINARY_DIR}/test-artefacts"
                       DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
                       WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tests)
endfunction()
