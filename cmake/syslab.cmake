# The build's helper functions: how a program, an allocator program, a module host, an
# order-form module, a demonstration's test and a fuzz target are made.

# Code whose allocation calls must reach the allocator as written links alloc_calls_as_written:
# the compiler may not delete, merge or rewrite those calls. (clang 14 crashes on
# -fno-builtin-aligned_alloc; code that counts aligned_alloc calls calls it through a pointer.)
add_library(alloc_calls_as_written INTERFACE)
target_compile_options(alloc_calls_as_written INTERFACE
  -fno-builtin-malloc -fno-builtin-free -fno-builtin-realloc -fno-builtin-calloc
  -fno-builtin-posix_memalign -fno-builtin-memalign -fno-builtin-valloc -fno-builtin-pvalloc)
# Code that must not need the C++ runtime (the allocator, programs that carry it, modules)
# links no_cxx_runtime: no exception tables, type information or guarded statics.
add_library(no_cxx_runtime INTERFACE)
target_compile_options(no_cxx_runtime INTERFACE -fno-exceptions -fno-rtti -fno-threadsafe-statics)

# Builds sanitizer variants of target when SANITIZE is set.
function(syslab_sanitize target)
  if(SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${SANITIZE} -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=${SANITIZE})
  endif()
endfunction()

# A program that does not replace the allocator.
function(syslab_program name)
  add_executable(${name} ${ARGN})
  syslab_sanitize(${name})
endfunction()

# A program with the allocator compiled in. It is linked as C, so the C++
# runtime (which allocates while it loads) is not linked at all, and a
# stray use of it fails the link instead of reaching the heap before main.
# syslab_alloc_program_with(name allocator-library sources...) takes another build.
function(syslab_alloc_program_with name lib)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE ${lib})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
endfunction()
function(syslab_alloc_program name)
  syslab_alloc_program_with(${name} MyMalloc ${ARGN})
endfunction()

# Makes target a host: links the utilities in whole and exports exactly them, under their
# C++ names, to the modules it loads.
function(syslab_module_host target)
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,hostutil>")
  target_link_options(${target} PRIVATE
                      -Wl,--dynamic-list=${PROJECT_SOURCE_DIR}/modules/hostutil.dynlist)
endfunction()

# Compiles the order form into target with mail_program as its mail command; for the module
# and for programs that run the order form in-process.
function(tolv_settings target mail_program)
  target_compile_definitions(${target} PRIVATE TOLV_MAIL_PROGRAM="${mail_program}"
                                               TOLV_GATEWAY="${TOLV_GATEWAY}")
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/modules)
endfunction()

# A module for a host. It lists no libraries (libc and the host utilities come from the
# loading process, bound at their first call), so it has no C++ runtime and no sanitizer runtime.
function(syslab_module name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/modules)
  target_link_libraries(${name} PRIVATE no_cxx_runtime)
  target_link_options(${name} PRIVATE -nostdlib -Wl,-z,lazy)
endfunction()

# An order-form module whose sent orders go to mail_program.
function(tolv_module name mail_program)
  syslab_module(${name} ${PROJECT_SOURCE_DIR}/modules/tolv-mod.cc)
  tolv_settings(${name} "${mail_program}")
endfunction()

# demo_test(program [labels...]): tests/demos/<program>_test.cc, run against bin/<program>.
function(demo_test program)
  add_executable(${program}_test ${program}_test.cc)
  target_link_libraries(${program}_test PRIVATE test_support GTest::gtest_main)
  target_compile_definitions(${program}_test PRIVATE PROGRAM="$<TARGET_FILE:${program}>")
  syslab_sanitize(${program}_test)
  add_dependencies(${program}_test ${program})
  add_test(NAME demos.${program} COMMAND ${program}_test)
  if(ARGN)
    set_tests_properties(demos.${program} PROPERTIES LABELS "${ARGN}")
  endif()
endfunction()

# syslab_fuzz_target(NAME SOURCES files... [INCLUDES dirs...] [DEFINITIONS defs...])
# The sources, the code under test among them, define LLVMFuzzerTestOneInput;
# they are compiled into each binary so that the fuzzer sees their coverage.
function(syslab_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;INCLUDES;DEFINITIONS")
  set(replay replay_${name})
  syslab_program(${replay} ${arg_SOURCES} replay_main.cc)
  set(targets ${replay})
  add_test(NAME fuzz.${name} COMMAND ${replay} ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  if(FUZZ)
    set(fuzzer fuzz_${name})
    add_executable(${fuzzer} ${arg_SOURCES})
    target_compile_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined
                           -fno-sanitize-recover=undefined)
    target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined)
    add_dependencies(fuzzers ${fuzzer})
    list(APPEND targets ${fuzzer})
  endif()
  foreach(target ${targets})
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${arg_INCLUDES})
    target_compile_definitions(${target} PRIVATE ${arg_DEFINITIONS})
  endforeach()
endfunction()
