// Heap walker and sbrk wrapper for the allocator tests.
#include "heap_check.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "MyMallocLayout.h"
#include "check.h"

using namespace mymalloc;

extern "C" void *__sbrk(intptr_t increment);

namespace {

constexpr size_t kMaxChunks = 8192;  // 16 GiB of heap
char *chunkStart[kMaxChunks];
size_t chunkCount;
int refusals;

size_t sizeOf(const BlockHeader *b) { return b->_blockSize & ~kAllocatedBit; }
bool isFree(const BlockHeader *b) { return (b->_blockSize & kAllocatedBit) == 0; }

[[noreturn]] void broken(const char *what, const void *where) {
  char text[256];
  snprintf(text, sizeof text, "heap check: %s at offset %ld\n", what,
           static_cast<long>(static_cast<const char *>(where) - static_cast<char *>(_memStart)));
  report(text);
  _exit(1);
}

bool inHeap(const void *p) {
  for (size_t i = 0; i < chunkCount; i++) {
    const char *c = chunkStart[i];
    if (p >= c + kFencepostSize && p < c + kChunkSize - kFencepostSize) return true;
  }
  return false;
}

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

const BlockHeader *headerOf(const void *payload) {
  auto p = reinterpret_cast<uintptr_t>(payload);
  asm("" : "+r"(p));
  return reinterpret_cast<const BlockHeader *>(p - kHeaderSize);
}

long offsetOf(const void *payload) {
  return static_cast<const char *>(payload) - kHeaderSize - static_cast<char *>(_memStart);
}

HeapCensus checkHeap() {
  HeapCensus census{};
  if (!_initialized) {
    CHECK_EQ(chunkCount, 0);
    return census;
  }
  CHECK(_freeList == &_freeListSentinel);
  CHECK(_memStart == chunkStart[0]);
  CHECK_EQ(_heapSize, chunkCount * kChunkSize);
  census.chunks = chunkCount;

  for (size_t i = 0; i < chunkCount; i++) {
    char *start = chunkStart[i];
    auto *right = reinterpret_cast<BlockHeader *>(start + kChunkSize - kFencepostSize);
    if (reinterpret_cast<BlockHeader *>(start)->_blockSize != kAllocatedBit)
      broken("left fencepost overwritten", start);
    if (right->_blockSize != kAllocatedBit) broken("right fencepost overwritten", right);

    auto *b = reinterpret_cast<BlockHeader *>(start + kFencepostSize);
    size_t leftSize = 0;
    bool leftFree = false;
    bool untouched = isFree(b) && sizeOf(b) == kFreshBlockSize;
    while (b != right) {
      size_t size = sizeOf(b);
      if (size < kMinBlockSize || size % kAlignment != 0) broken("bad block size", b);
      if (size > static_cast<size_t>(reinterpret_cast<char *>(right) - reinterpret_cast<char *>(b)))
        broken("block runs past the right fencepost", b);
      if (b->_leftSize != leftSize) broken("leftSize does not match the block below", b);
      if (isFree(b)) {
        if (leftFree) broken("two free neighbours", b);
        census.freeBlocks++;
        census.freeBytes += size;
      }
      census.blocks++;
      leftFree = isFree(b);
      leftSize = size;
      b = reinterpret_cast<BlockHeader *>(reinterpret_cast<char *>(b) + size);
    }
    // A chunk whose one block was never split has never had this word written.
    if (right->_leftSize != leftSize && !(untouched && right->_leftSize == 0))
      broken("right fencepost's leftSize does not match", right);
  }

  CHECK_EQ(_freeListSentinel._blockSize, 0);
  CHECK_EQ(_freeListSentinel._leftSize, 0);
  size_t listed = 0;
  size_t listedBytes = 0;
  for (BlockHeader *b = _freeListSentinel._nextFree; b != &_freeListSentinel; b = b->_nextFree) {
    if (!inHeap(b)) broken("free-list entry outside the heap", b);
    if (!isFree(b)) broken("allocated block on the free list", b);
    if (b->_nextFree->_prevFree != b) broken("free-list links disagree", b);
    if (++listed > census.freeBlocks) broken("free list longer than the free blocks", b);
    listedBytes += sizeOf(b);
  }
  CHECK(_freeListSentinel._prevFree->_nextFree == &_freeListSentinel);
  CHECK_EQ(listed, census.freeBlocks);
  CHECK_EQ(listedBytes, census.freeBytes);
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
