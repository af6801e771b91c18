// Runs under LD_PRELOAD=libmymalloc.so: what a real program expects of malloc
// and the preload library's own settings. Prints "probe ok" or fails a check.
#include <errno.h>
#include <malloc.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

namespace {

bool aligned16(const void *p) { return reinterpret_cast<uintptr_t>(p) % 16 == 0; }

// Payloads fit any type, whatever the size and whatever was freed before.
void alignment() {
  // MyMalloc's 32-byte block, not glibc's; under the heap check, what was asked for.
  CHECK_EQ(malloc_usable_size(malloc(1)), getenv("MYMALLOC_CHECK") != nullptr ? 1 : 16);
  void *held[512] = {};
  for (unsigned i = 0; i < 20000; i++) {
    void *&slot = held[(i * 7919) % 512];
    free(slot);
    slot = i % 3 == 0 ? calloc(1 + i % 97, 3) : malloc(1 + (i * 31) % 3000);
    CHECK(slot != nullptr && aligned16(slot));
  }
  for (void *p : held) free(p);
}

// malloc(0) is a block of its own; realloc(p, 0) frees p.
void zeroSizes() {
  void *a = malloc(0);
  void *b = malloc(0);
  void *c = calloc(0, 8);
  CHECK(a != nullptr && b != nullptr && c != nullptr && a != b);
  CHECK(realloc(a, 0) == nullptr);
  free(b);
  free(c);
}

// Beyond one chunk: a mapping of its own, resized by realloc, given back once freed.
void largeBlocks() {
  auto *p = static_cast<unsigned char *>(malloc(5 << 20));
  CHECK(p != nullptr && aligned16(p));
  memset(p, 0x5A, 5 << 20);
  p = static_cast<unsigned char *>(realloc(p, 12 << 20));
  CHECK(p != nullptr);
  for (size_t i = 0; i < (5 << 20); i += 4093) CHECK_EQ(p[i], 0x5A);
  free(p);
  void *again = malloc(3 << 20);
  CHECK(again != nullptr);
  free(again);

  void *page = nullptr;
  CHECK_EQ(posix_memalign(&page, 4096, 3 << 20), 0);
  CHECK(reinterpret_cast<uintptr_t>(page) % 4096 == 0);
  memset(page, 1, 3 << 20);
  free(page);

  const size_t impossible[] = {SIZE_MAX, SIZE_MAX / 2, (size_t{1} << 62) + 1};
  for (size_t n : impossible) {
    errno = 0;
    CHECK(malloc(n) == nullptr);
    CHECK_EQ(errno, ENOMEM);
  }
  size_t half = SIZE_MAX / 2;
  asm("" : "+r"(half));  // the compiler would warn of a product it can see overflow
  errno = 0;
  CHECK(calloc(half, 4) == nullptr);
  CHECK_EQ(errno, ENOMEM);
}

void *churn(void *arg) {
  auto seed = reinterpret_cast<uintptr_t>(arg);
  void *held[64] = {};
  for (unsigned i = 0; i < 30000; i++) {
    void *&slot = held[(i * 7 + seed) % 64];
    free(slot);
    slot = malloc(16 + (i * 37 + seed) % 5000);
    CHECK(slot != nullptr && aligned16(slot));
  }
  for (void *p : held) free(p);
  return nullptr;
}

// Threads allocate while the main thread forks; each child allocates at once.
void threadsAndFork() {
  pthread_t threads[4];
  for (uintptr_t i = 0; i < 4; i++)
    CHECK_EQ(pthread_create(&threads[i], nullptr, churn, reinterpret_cast<void *>(i)), 0);
  for (int i = 0; i < 20; i++) {
    pid_t pid = fork();
    CHECK(pid >= 0);
    if (pid == 0) {
      void *p = malloc(100);
      free(p);
      _exit(p == nullptr ? 1 : 0);
    }
    int status = 0;
    CHECK_EQ(waitpid(pid, &status, 0), pid);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (pthread_t t : threads) CHECK_EQ(pthread_join(t, nullptr), 0);
}

// A thread that never allocates frees the main thread's blocks: its frees
// count as every other thread's do (preload_test.sh reads the statistics).
constexpr int kFreedElsewhere = 5000;
void *freeAll(void *blocks) {
  for (int i = 0; i < kFreedElsewhere; i++) free(static_cast<void **>(blocks)[i]);
  return nullptr;
}
void freedByAnotherThread() {
  static void *blocks[kFreedElsewhere];
  for (void *&p : blocks) CHECK((p = malloc(64)) != nullptr);
  pthread_t t;
  CHECK_EQ(pthread_create(&t, nullptr, freeAll, blocks), 0);
  CHECK_EQ(pthread_join(t, nullptr), 0);
}

// The whole text written to descriptor fd since it was made, as a C string.
const char *textOf(int fd, char *buffer, size_t size) {
  ssize_t n = pread(fd, buffer, size - 1, 0);
  CHECK(n >= 0);
  buffer[n] = '\0';
  return buffer;
}

bool startsWith(const char *text, const char *prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// glibc's reports answer from this heap: mallinfo2 sees the blocks held and
// the mapped block, malloc_stats and malloc_info print them, malloc_trim
// gives free pages back and the heap still serves.
void reports() {
  struct mallinfo2 before = mallinfo2();
  void *small[1000];
  for (void *&p : small) CHECK((p = malloc(1000)) != nullptr);
  void *large = malloc(4 << 20);
  CHECK(large != nullptr);
  struct mallinfo2 held = mallinfo2();
  CHECK(held.arena >= 2 << 20 && held.arena % (2 << 20) == 0);  // whole chunks
  CHECK(held.uordblks >= before.uordblks + 1000 * 1000);
  CHECK(held.uordblks + held.fordblks == held.arena);
  CHECK(held.hblks >= 1 && held.hblkhd >= 4 << 20);

  static char text[16384];
  int fd = memfd_create("stats", 0);
  int saved = dup(STDERR_FILENO);
  CHECK(fd >= 0 && saved >= 0 && dup2(fd, STDERR_FILENO) == STDERR_FILENO);
  malloc_stats();
  CHECK(dup2(saved, STDERR_FILENO) == STDERR_FILENO);
  textOf(fd, text, sizeof text);
  CHECK(startsWith(text, "Arena 0:\nsystem bytes     = "));
  CHECK(strstr(text, "Total (incl. mmap):\n") != nullptr && strstr(text, "max mmap regions = ") != nullptr);

  int info = memfd_create("info", 0);
  FILE *out = fdopen(info, "w");
  CHECK(out != nullptr);
  CHECK_EQ(malloc_info(0, out), 0);
  CHECK_EQ(fflush(out), 0);
  textOf(info, text, sizeof text);
  CHECK(startsWith(text, "<malloc version=\"1\">\n<heap nr=\"0\">\n"));
  CHECK(strstr(text, "<total type=\"mmap\" count=\"") != nullptr);
  CHECK(strcmp(text + strlen(text) - 10, "</malloc>\n") == 0);
  errno = 0;
  CHECK_EQ(malloc_info(1, out), -1);
  CHECK_EQ(errno, EINVAL);
  fclose(out);

  for (void *p : small) free(p);
  free(large);
  // The freed blocks' pages; under the heap check, whose free blocks hold a pattern, none.
  CHECK(malloc_trim(0) == (getenv("MYMALLOC_CHECK") != nullptr ? 0 : 1));
  struct mallinfo2 trimmed = mallinfo2();
  CHECK(trimmed.hblks + 1 == held.hblks && trimmed.uordblks < held.uordblks);
  for (void *&p : small) CHECK((p = calloc(1, 1000)) != nullptr);
  for (void *p : small) free(p);
}

}  // namespace

int main() {
  alignment();
  zeroSizes();
  largeBlocks();
  threadsAndFork();
  freedByAnotherThread();
  reports();
  static const char kOk[] = "probe ok\n";
  CHECK(write(STDOUT_FILENO, kOk, sizeof kOk - 1) == sizeof kOk - 1);
  return 0;
}
