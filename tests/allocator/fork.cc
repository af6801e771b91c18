// fork() while other threads allocate: the child's heap must be whole and its
// lock free, so that the child can go on allocating.
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include "MyMalloc.h"
#include "check.h"
#include "heap_check.h"

namespace {

constexpr int kWorkers = 3;
constexpr int kForks = 300;
constexpr unsigned kChildSeconds = 10;

bool stop;

void *churn(void *arg) {
  uintptr_t seed = reinterpret_cast<uintptr_t>(arg);
  void *held[64] = {};
  for (unsigned i = 0; !__atomic_load_n(&stop, __ATOMIC_RELAXED); i++) {
    void *&slot = held[(i * 7 + seed) % 64];
    free(slot);
    slot = malloc(16 + (i * 37 + seed) % 4000);
    CHECK(slot != nullptr);
  }
  for (void *p : held) free(p);
  return nullptr;
}

// In the child: allocate and free, then walk the heap. A lock left held
// would hang here; the alarm turns that into a failure.
[[noreturn]] void child() {
  alarm(kChildSeconds);
  void *p = malloc(100);
  void *q = calloc(10, 10);
  CHECK(p != nullptr && q != nullptr);
  free(p);
  free(q);
  checkHeap();
  _exit(0);
}

}  // namespace

int main() {
  pthread_t workers[kWorkers];
  for (uintptr_t i = 0; i < kWorkers; i++)
    CHECK_EQ(pthread_create(&workers[i], nullptr, churn, reinterpret_cast<void *>(i + 1)), 0);

  for (int i = 0; i < kForks; i++) {
    pid_t pid = fork();
    CHECK(pid >= 0);
    if (pid == 0) child();
    int status = 0;
    CHECK_EQ(waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
      checkFailed(__FILE__, __LINE__, "child hung on the allocator's lock");
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  __atomic_store_n(&stop, true, __ATOMIC_RELAXED);
  for (pthread_t w : workers) CHECK_EQ(pthread_join(w, nullptr), 0);
  checkHeap();
  _exit(0);
}
