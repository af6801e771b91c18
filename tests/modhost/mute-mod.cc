// A test module without httprun.
extern "C" int notHttprun(int fd) { return fd; }
