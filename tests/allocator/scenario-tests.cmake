# Run once alloc_scenarios is built (cmake -D PROGRAM=... -D OUT=... -P scenario-tests.cmake):
# writes a CTest entry alloc.NAME for every scenario the program lists, so that the scenarios
# are listed in scenarios.cc alone and every one of them runs.
execute_process(COMMAND ${PROGRAM} --list OUTPUT_VARIABLE listing ERROR_VARIABLE error
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --list failed (${status}): ${error}")
endif()
string(REGEX MATCHALL "[^\n]+" names "${listing}")
set(tests "")
foreach(name ${names})
  # Exact offsets: a sanitizer runtime that allocates first would shift them.
  string(APPEND tests "add_test([==[alloc.${name}]==] [==[${PROGRAM}]==] [==[${name}]==])\n"
                      "set_tests_properties([==[alloc.${name}]==] PROPERTIES LABELS nosan)\n")
endforeach()
file(WRITE ${OUT} "${tests}")
