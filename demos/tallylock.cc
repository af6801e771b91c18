// tallylock: two threads add to one counter under a spin lock built from an atomic exchange.
// Usage: tallylock
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

unsigned long lock = 0;  // the spin lock: 0 free, 1 held
int count = 0;           // changed only while lock is held

namespace {

constexpr int kIterations = 10000000;  // additions made by each thread

// Atomically stores 1 into *word; returns the value it held just before.
// On x86-64 this is one xchg with a memory operand: always locked, and a full barrier
// for the processor. The sequentially consistent order makes it a barrier for the
// compiler as well, and it is the acquire half of the lock's acquire/release pairing.
unsigned long test_and_set(volatile unsigned long *word) {
  return __atomic_exchange_n(word, 1UL, __ATOMIC_SEQ_CST);
}

// Returns once the caller holds *lk. Every attempt is an exchange; after a failed one the
// processor goes to another thread. (pthread_yield is deprecated in current glibc, where it
// only calls sched_yield, so this calls sched_yield directly.)
void my_spin_lock(volatile unsigned long *lk) {
  while (test_and_set(lk) != 0) sched_yield();
}

// Releases *lk, held by the caller, with an ordinary store (no exchange). The processor
// never reorders x86-64 stores with earlier stores, but the compiler may, and a plain
// volatile store does not stop it from moving the counter's store past the unlock. A
// release store is the same plain mov on x86-64 and also forbids that move.
void my_spin_unlock(volatile unsigned long *lk) { __atomic_store_n(lk, 0UL, __ATOMIC_RELEASE); }

// Thread body: makes as many locked additions to count as the int carried in the start
// argument says. Returns no result.
void *increment(void *arg) {
  const int ntimes = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  for (int i = 0; i < ntimes; i++) {
    my_spin_lock(&lock);
    int c = count;  // read, add, write back: the three steps the lock protects
    c = c + 1;
    count = c;
    my_spin_unlock(&lock);
  }
  return nullptr;
}

// Reports a failed thread call, which returns its error number instead of setting errno,
// and ends the program.
[[noreturn]] void threadFailure(int err, const char *call) {
  errno = err;
  perror(call);
  exit(1);
}

}  // namespace

int main() {
  const int iterations = kIterations;
  const int expected = 2 * iterations;

  pthread_attr_t attr;
  int err = pthread_attr_init(&attr);
  if (err != 0) threadFailure(err, "pthread_attr_init");
  // Each worker competes for the processor with every thread of the system.
  err = pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
  if (err != 0) threadFailure(err, "pthread_attr_setscope");

  printf("Start Test. Final count should be %d\n", expected);

  void *arg = reinterpret_cast<void *>(static_cast<intptr_t>(iterations));
  pthread_t t1, t2;
  // A failure ends the whole process, the worker already started included.
  err = pthread_create(&t1, &attr, increment, arg);
  if (err != 0) threadFailure(err, "pthread_create");
  err = pthread_create(&t2, &attr, increment, arg);
  if (err != 0) threadFailure(err, "pthread_create");
  pthread_attr_destroy(&attr);

  err = pthread_join(t1, nullptr);
  if (err != 0) threadFailure(err, "pthread_join");
  err = pthread_join(t2, nullptr);
  if (err != 0) threadFailure(err, "pthread_join");

  if (count == expected) {
    printf("\n>>>>>> O.K. Final count is %d\n", count);
  } else {
    printf("\n****** Error. Final count is %d\n", count);
    printf("****** It should be %d\n", expected);
  }
  return 0;
}
