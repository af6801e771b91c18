// Heap checker (the allocator's own walk) and sbrk wrapper for the allocator tests.
#include "heap_check.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "MyMalloc.h"
#include "MyMallocLayout.h"
#include "check.h"

using namespace mymalloc;

extern "C" void *__sbrk(intptr_t increment);

namespace {

constexpr size_t kMaxChunks = 8192;  // 16 GiB of heap
char *chunkStart[kMaxChunks];
size_t chunkCount;
int refusals;

}  // namespace

// The allocator calls sbrk by name; this definition takes its place.
extern "C" void *sbrk(intptr_t increment) {
  if (refusals > 0) {
    refusals--;
    errno = ENOMEM;
    return reinterpret_cast<void *>(-1);
  }
  void *p = __sbrk(increment);
  if (p != reinterpret_cast<void *>(-1) && increment > 0) {
    CHECK(increment == static_cast<intptr_t>(kChunkSize));
    CHECK(chunkCount < kMaxChunks);
    chunkStart[chunkCount++] = static_cast<char *>(p);
  }
  return p;
}

void refuseSbrk(int n) { refusals = n; }
int pendingRefusals() { return refusals; }

long offsetOf(const void *payload) {
  return static_cast<const char *>(payload) - kHeaderSize - static_cast<char *>(_memStart);
}

namespace {

void countBlock(void *context, const HeapBlockInfo *b) noexcept {
  auto *census = static_cast<HeapCensus *>(context);
  if (b->state == kHeapBlockFence) {
    census->chunks = static_cast<size_t>(b->chunk) + 1;
    return;
  }
  census->blocks++;
  if (b->state == kHeapBlockFree) {
    census->freeBlocks++;
    census->freeBytes += b->size;
  }
}

void countReturned(void *context, long, size_t) noexcept {
  static_cast<HeapCensus *>(context)->returnedBlocks++;
}

[[noreturn]] void walkBroken(void *, const char *what, long offset) noexcept {
  char text[256];
  snprintf(text, sizeof text, "heap check: %s at offset %ld\n", what, offset);
  report(text);
  _exit(1);
}

}  // namespace

HeapCensus checkHeap() {
  HeapCensus census{};
  if (!_initialized) {
    CHECK_EQ(chunkCount, 0);
    return census;
  }
  CHECK(_memStart == chunkStart[0]);
  const HeapVisitor visitor{countBlock, nullptr, walkBroken, countReturned};
  CHECK_EQ(heap_walk(&visitor, &census), 0);
#ifdef MYMALLOC_PRELOAD
  // The first heap maps its chunks once the break cannot move, and the other
  // arenas' chunks are all mapped.
  CHECK(_heapSize >= chunkCount * kChunkSize);
  CHECK(census.chunks >= _heapSize / kChunkSize);
#else
  CHECK_EQ(_heapSize, chunkCount * kChunkSize);
  CHECK_EQ(census.chunks, chunkCount);
#endif
  return census;
}

void expectFreeList(const FreeEntry *entries, size_t n, const char *file, int line) {
  checkHeap();
  size_t i = 0;
  bool same = true;
  for (BlockHeader *b = _freeListSentinel._nextFree; b != &_freeListSentinel; b = b->_nextFree, i++)
    if (i >= n || offsetOf(reinterpret_cast<char *>(b) + kHeaderSize) != entries[i].offset ||
        sizeOf(b) != entries[i].size)
      same = false;
  if (same && i == n) return;

  char text[1024];
  int used = snprintf(text, sizeof text, "%s:%d: free list differs; it holds:", file, line);
  for (BlockHeader *b = _freeListSentinel._nextFree;
       b != &_freeListSentinel && used < static_cast<int>(sizeof text) - 64; b = b->_nextFree)
    used += snprintf(text + used, sizeof text - static_cast<size_t>(used), " %ld:%zu",
                     offsetOf(reinterpret_cast<char *>(b) + kHeaderSize), sizeOf(b));
  snprintf(text + used, sizeof text - static_cast<size_t>(used), "\n");
  report(text);
  _exit(1);
}
