# clockgreet: the greeting time server. It starts no thread but links POSIX threads.
find_package(Threads REQUIRED)
syslab_program(clockgreet clockgreet.cc)
target_link_libraries(clockgreet PRIVATE common Threads::Threads)
