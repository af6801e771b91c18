# modhost, the hosting HTTP server, with its request reader (also fuzzed in-process, see
# tests/fuzz). It calls none of the host utilities itself but links them in and exports them
# under their C++ names, so that the modules it loads bind to them.
syslab_program(modhost modhost.cc connection.cc children.cc relay.cc moduleproc.cc response.cc
               httprequest.cc)
target_include_directories(modhost PRIVATE ${PROJECT_SOURCE_DIR}/modules)
target_link_libraries(modhost PRIVATE common ${CMAKE_DL_LIBS})
syslab_module_host(modhost)
# Every function modhost calls is bound at start, once, not at its first call in each request's
# processes, where each binding would write (and so copy) a page shared with the server. The
# modules it loads keep their own lazy binding.
target_link_options(modhost PRIVATE -Wl,-z,now)
