// test9: five threads allocate at once; the allocator's one lock serialises them.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

namespace {

constexpr int kPasses = 10;

void *allocationThread(void *) {
  for (int i = 0; i < kPasses; i++) {
    char *p = static_cast<char *>(malloc(10));
    *p = 'd';
  }
  return nullptr;
}

}  // namespace

int main() {
  constexpr int threadCount = 5;
  pthread_t threads[threadCount];
  bool started[threadCount];

  puts("\n---- Running test9 ---");
  // Sets the heap up on this thread before any worker exists.
  [[maybe_unused]] void *first = malloc(20);

  for (int i = 0; i < threadCount; i++)
    started[i] = pthread_create(&threads[i], nullptr, allocationThread, nullptr) == 0;
  for (int i = 0; i < threadCount; i++)
    if (started[i]) pthread_join(threads[i], nullptr);  // never join a thread that never was

  print_list();
  exit(0);
}
