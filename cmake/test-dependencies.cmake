# What the tests need beyond the compiler, CMake and Ninja: GoogleTest, valgrind, python3 and
# node. `make` builds every program without them; a test whose dependency is missing is left
# out, the configure output says so, and the test `test-dependencies` fails, so that a run of
# the suite cannot pass with tests left out. `make check` installs them first.

set(SYSLAB_MISSING_TEST_DEPENDENCIES "")

# syslab_test_dependency(VAR FOUND WHAT TESTS): VAR is true when FOUND is; otherwise the
# configure output names the TESTS left out for want of WHAT.
function(syslab_test_dependency var found what tests)
  if(found)
    set(${var} TRUE PARENT_SCOPE)
  else()
    set(${var} FALSE PARENT_SCOPE)
    message(STATUS "${what} not found: ${tests} are left out (make check installs it)")
    set(SYSLAB_MISSING_TEST_DEPENDENCIES ${SYSLAB_MISSING_TEST_DEPENDENCIES} "${what}"
        PARENT_SCOPE)
  endif()
endfunction()

find_package(GTest QUIET)
find_program(VALGRIND valgrind)
find_program(PYTHON3 python3)
find_program(NODE_PROGRAM node)
syslab_test_dependency(HAVE_GTEST "${GTest_FOUND}" GoogleTest "the tests written with it")
syslab_test_dependency(HAVE_VALGRIND "${VALGRIND}" valgrind "the allocator's memcheck tests")
syslab_test_dependency(HAVE_PYTHON3 "${PYTHON3}" python3
                       "the real programs, the benchmark report and the robustness table")
syslab_test_dependency(HAVE_NODE "${NODE_PROGRAM}" node "the browser tests")

if(SYSLAB_MISSING_TEST_DEPENDENCIES)
  string(JOIN ", " missing ${SYSLAB_MISSING_TEST_DEPENDENCIES})
  add_test(NAME test-dependencies
           COMMAND ${CMAKE_COMMAND} -E echo
                   "tests left out for want of ${missing}: make check installs them")
  set_tests_properties(test-dependencies PROPERTIES FAIL_REGULAR_EXPRESSION "left out")
endif()
