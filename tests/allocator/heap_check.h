// A heap checker for the tests: walks every chunk block by block and the free
// list link by link. sbrk is wrapped here so that the checker knows where each
// chunk starts and a test can make the system refuse the next extensions.
#pragma once

#include <stddef.h>

struct HeapCensus {
  size_t chunks;  // of every heap: sbrk's and (with the preload library's arenas) mapped ones
  size_t blocks;  // allocated and free, fenceposts not counted
  size_t freeBlocks;
  size_t freeBytes;
  size_t returnedBlocks;  // of the allocated ones, those freed by another thread, not merged yet
};

// Walks the whole heap; ends the process with a message on the first broken
// invariant. Returns what it found. Call it only while no other thread allocates.
HeapCensus checkHeap();

// The next n calls of sbrk fail with ENOMEM; returns how many are still to come.
void refuseSbrk(int n);
int pendingRefusals();

// Offset of a payload's block header from the first chunk, as print_list shows it.
long offsetOf(const void *payload);

struct FreeEntry {
  long offset;
  size_t size;
};
// Checks that the free list holds exactly these entries, head first.
void expectFreeList(const FreeEntry *entries, size_t n, const char *file, int line);
#define EXPECT_FREE_LIST(...)                                                            \
  do {                                                                                   \
    const FreeEntry expected_[] = {__VA_ARGS__};                                         \
    expectFreeList(expected_, sizeof expected_ / sizeof *expected_, __FILE__, __LINE__); \
  } while (0)
#define EXPECT_FREE_LIST_EMPTY() expectFreeList(nullptr, 0, __FILE__, __LINE__)
