// A program whose allocation calls are known: it makes them from the main thread, two more
// threads and a child of fork, and writes each call it made, in its own order, into
// LOGDIR/log.PID ("THREAD CALL SIZE [SIZE2] GIVEN RESULT" lines, the form of heaptrace --calls
// without the caller). The recording test compares the two. Built with C++ (operator new
// and delete go through libstdc++) and -fno-builtin, so every call reaches the allocator.
// Usage: trace_probe LOGDIR
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

namespace {

constexpr int kThreadCalls = 600;
constexpr size_t kLogMax = 1 << 20;

// One process's log: lines built in fixed buffers under a lock, written at the end.
char logText[kLogMax];
size_t logUsed;
pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER;
const char *logDir;

void note(const char *call, unsigned long long size, long long size2, const void *given,
          const void *result) {
  char line[160];
  int n = size2 < 0 ? snprintf(line, sizeof line, "%d %s %llu %p %p\n", gettid(), call, size,
                               given, result)
                    : snprintf(line, sizeof line, "%d %s %llu %lld %p %p\n", gettid(), call,
                               size, size2, given, result);
  pthread_mutex_lock(&logLock);
  if (n > 0 && logUsed + static_cast<size_t>(n) < kLogMax) {
    memcpy(logText + logUsed, line, static_cast<size_t>(n));
    logUsed += static_cast<size_t>(n);
  }
  pthread_mutex_unlock(&logLock);
}

void *logged(void *p, const char *call, size_t size) {
  note(call, size, -1, nullptr, p);
  return p;
}
void loggedFree(void *p) {
  note("free", 0, -1, p, nullptr);
  free(p);
}

// heaptrace prints null as 0x0; printf's %p prints it as (nil).
void fixNil() {
  logText[logUsed] = '\0';
  for (char *p = logText; (p = strstr(p, "(nil)")) != nullptr;) {
    memmove(p + 3, p + 5, strlen(p + 5) + 1);
    memcpy(p, "0x0", 3);
    logUsed -= 2;
  }
}

void writeLog() {
  fixNil();
  char path[4096];
  snprintf(path, sizeof path, "%s/log.%d", logDir, getpid());
  FILE *f = fopen(path, "w");
  if (f == nullptr) {
    perror("fopen");
    _exit(1);
  }
  fwrite(logText, 1, logUsed, f);
  fclose(f);
}

void *handedOver[2];  // a block each thread leaves for the main thread to free

// Sizes from 1 to 2000 bytes; every third block freed at once, the rest at the end, one grown
// by realloc as it goes.
void *worker(void *arg) {
  long id = reinterpret_cast<long>(arg);
  static thread_local void *kept[kThreadCalls];
  int count = 0;
  void *grown = nullptr;
  for (int i = 0; i < kThreadCalls; i++) {
    size_t size = static_cast<size_t>((i * 37 + id * 11) % 2000 + 1);
    void *p = malloc(size);
    note("malloc", size, -1, nullptr, p);
    if (i % 3 == 0) loggedFree(p);
    else kept[count++] = p;
    if (i % 50 == 0) {
      void *moved = realloc(grown, static_cast<size_t>(i) * 40 + 8);
      note("realloc", static_cast<size_t>(i) * 40 + 8, -1, grown, moved);
      grown = moved;
    }
  }
  for (int k = 0; k < count; k++) loggedFree(kept[k]);
  loggedFree(grown);
  handedOver[id] = logged(malloc(321), "malloc", 321);
  return nullptr;
}

[[gnu::noinline]] int *makeArray(size_t n) {
  int *a = new int[n];
  note("malloc", n * sizeof(int), -1, nullptr, a);
  return a;
}

[[gnu::noinline]] void dropArray(int *a) {
  note("free", 0, -1, a, nullptr);
  delete[] a;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "Usage: trace_probe LOGDIR\n");
    return 2;
  }
  logDir = argv[1];
  void *a = logged(malloc(100), "malloc", 100);
  void *b = calloc(4, 25);
  note("calloc", 4, 25, nullptr, b);
  void *moved = realloc(a, 300);
  note("realloc", 300, -1, a, moved);
  a = moved;
  void *al = aligned_alloc(64, 128);
  note("aligned_alloc", 128, 64, nullptr, al);
  void *pm = nullptr;
  if (posix_memalign(&pm, 32, 48) != 0) return 1;
  note("posix_memalign", 48, 32, nullptr, pm);
  void *ma = memalign(128, 10);
  note("memalign", 10, 128, nullptr, ma);
  int *array = makeArray(10);
  void *big = logged(malloc(3 << 20), "malloc", 3 << 20);  // a mapping of its own
  loggedFree(b);
  dropArray(array);

  pthread_t threads[2];
  for (long t = 0; t < 2; t++)
    if (pthread_create(&threads[t], nullptr, worker, reinterpret_cast<void *>(t)) != 0) return 1;
  for (pthread_t t : threads) pthread_join(t, nullptr);
  for (void *p : handedOver) loggedFree(p);  // blocks another thread allocated

  pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return 1;
  }
  if (child == 0) {
    logUsed = 0;  // the parent's lines are the parent's
    void *c = logged(malloc(777), "malloc", 777);
    loggedFree(c);
    loggedFree(a);  // a block its parent allocated
    writeLog();
    exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  loggedFree(al);
  loggedFree(pm);
  loggedFree(ma);
  loggedFree(big);
  loggedFree(a);
  logged(malloc(4242), "malloc", 4242);  // never freed
  writeLog();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
