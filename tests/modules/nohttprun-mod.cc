// Test module without an httprun entry.
extern "C" int httpRun(int fd) { return fd; }
