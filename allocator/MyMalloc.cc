// MyMalloc: boundary-tag allocator over 2 MiB sbrk chunks, one circular free
// list, first fit from the high end of the block it splits, one mutex.
//
// Nothing on the allocation and free paths may allocate: no stdio, no C++
// library. Only the two reports use printf, and they run without the lock.

#include "MyMalloc.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/single_threaded.h>
#include <unistd.h>

#include "MyMallocLayout.h"

using namespace mymalloc;

BlockHeader *_freeList;
BlockHeader _freeListSentinel;
size_t _heapSize;
int _initialized;
void *_memStart;
int _mallocCalls;
int _reallocCalls;
int _callocCalls;
int _freeCalls;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

char verbose;  // set by the one-time set-up; the exit report is printed while set

constexpr char kNoMemoryMessage[] = "CANNOT SATISFY MEMORY REQUEST. RETHINK YOUR CHOICES!\n";
static_assert(sizeof kNoMemoryMessage - 1 == 53);

size_t sizeOf(const BlockHeader *b) { return b->_blockSize & ~kAllocatedBit; }

BlockHeader *blockAt(void *base, size_t offset) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(base) + offset);
}
BlockHeader *blockBelow(void *base, size_t offset) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(base) - offset);
}
BlockHeader *headerOf(void *payload) { return blockBelow(payload, kHeaderSize); }
void *payloadOf(BlockHeader *b) { return reinterpret_cast<char *>(b) + kHeaderSize; }

// While the process has a single thread, no other thread can reach the heap,
// so the entry points skip mutex; glibc clears __libc_single_threaded for good
// before it starts a second thread, and from then on mutex is always taken.
// The flag cannot change between lock() and unlock(): only the calling thread
// could start a thread, and it does not while inside the allocator.
void lock() {
  if (!__libc_single_threaded) pthread_mutex_lock(&mutex);
}
void unlock() {
  if (!__libc_single_threaded) pthread_mutex_unlock(&mutex);
}

// Puts b at the head of the free list, right after the sentinel.
void pushFront(BlockHeader *b) {
  BlockHeader *head = _freeListSentinel._nextFree;
  b->_nextFree = head;
  b->_prevFree = &_freeListSentinel;
  head->_prevFree = b;
  _freeListSentinel._nextFree = b;
}

void unlinkFree(BlockHeader *b) {
  b->_nextFree->_prevFree = b->_prevFree;
  b->_prevFree->_nextFree = b->_nextFree;
}

// Where the heap lies, for heap_walk alone. sbrk normally extends the memory
// it gave last, so touching chunks make one region; a region is walked from
// fencepost to fencepost. Beside the heap, so the chunks' layout is untouched.
struct Region {
  char *start;
  size_t size;
};
constexpr size_t kMaxRegions = 256;
Region regions[kMaxRegions];
size_t regionCount;
bool regionsLost;  // more separate regions than the table holds

void noteRegion(char *start, size_t n) {
  if (regionCount > 0 && regions[regionCount - 1].start + regions[regionCount - 1].size == start)
    regions[regionCount - 1].size += n;
  else if (regionCount < kMaxRegions)
    regions[regionCount++] = Region{start, n};
  else
    regionsLost = true;
}

// Extends the heap by n bytes. Returns the new memory, or null if the system
// refuses; a refused request is not counted in _heapSize.
void *getMemoryFromOS(size_t n) {
  void *p = sbrk(static_cast<intptr_t>(n));
  if (p == reinterpret_cast<void *>(-1)) return nullptr;
  _heapSize += n;
  if (!_initialized) _memStart = p;
  noteRegion(static_cast<char *>(p), n);
  return p;
}

// Obtains a fenced chunk. Returns the header of its single block (to be
// filled in by the caller), or null if the system refuses.
BlockHeader *getNewChunk(size_t size) {
  void *start = getMemoryFromOS(size);
  if (start == nullptr) return nullptr;
  blockAt(start, 0)->_blockSize = kAllocatedBit;                      // left fencepost
  blockAt(start, size - kFencepostSize)->_blockSize = kAllocatedBit;  // right fencepost
  return blockAt(start, kFencepostSize);
}

BlockHeader *newFreshBlock() {
  BlockHeader *b = getNewChunk(kChunkSize);
  if (b == nullptr) return nullptr;
  b->_blockSize = kFreshBlockSize;
  b->_leftSize = 0;
  return b;
}

// fork() copies the heap as it stands. Holding the lock across it means no
// other thread is half-way through a change, and the child, whose only thread
// is the one that forked, starts with the lock free and can allocate.
void lockForFork() { pthread_mutex_lock(&mutex); }
void unlockAfterFork() { pthread_mutex_unlock(&mutex); }

// One-time set-up. If the system refuses the first chunk, _initialized stays
// 0 and a later call tries again; the hooks are registered only once. Neither
// registration allocates for its first entries, so both are safe under the lock.
void initialize() {
  if (!verbose) {
    verbose = 1;
    atexit(atExitHandlerInC);
    pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork);
  }
  BlockHeader *first = newFreshBlock();
  if (first == nullptr) return;
  _freeList = &_freeListSentinel;
  first->_nextFree = first->_prevFree = &_freeListSentinel;
  _freeListSentinel._nextFree = _freeListSentinel._prevFree = first;
  _initialized = 1;
}

// First fit in list order. Splits off the high end of the block it finds, so
// the remainder keeps its links and its place in the list.
[[gnu::always_inline]] inline void *tryAllocate(size_t blockSize) {
  for (BlockHeader *b = _freeListSentinel._nextFree; b != &_freeListSentinel; b = b->_nextFree) {
    size_t size = b->_blockSize;  // the flag of a block on the list is clear
    if (size < blockSize) continue;
    size_t remainder = size - blockSize;
    if (remainder < kMinBlockSize) {
      unlinkFree(b);
      b->_blockSize = size | kAllocatedBit;
      blockAt(b, size)->_leftSize = size;
      return payloadOf(b);
    }
    b->_blockSize = remainder;
    BlockHeader *n = blockAt(b, remainder);
    n->_blockSize = blockSize | kAllocatedBit;
    n->_leftSize = remainder;
    blockAt(n, blockSize)->_leftSize = blockSize;
    return payloadOf(n);
  }
  return nullptr;
}

// A request of 0 bytes (errno untouched) or beyond the limit (ENOMEM).
// Entered with mutex held; releases it and returns null.
[[gnu::noinline]] void *refuse(size_t size) {
  if (size != 0) errno = ENOMEM;
  unlock();
  return nullptr;
}

// No free block fits: grow by one chunk, whatever the request; its block
// heads the list and is the first fit the search meets. Entered with mutex
// held; releases it.
[[gnu::noinline]] void *growAndAllocate(size_t blockSize) {
  void *p = nullptr;
  if (_initialized) {  // still 0 only if the system refused the first chunk
    BlockHeader *fresh = newFreshBlock();
    if (fresh != nullptr) {
      pushFront(fresh);
      p = tryAllocate(blockSize);
    }
  }
  if (p == nullptr) {
    if (write(STDERR_FILENO, kNoMemoryMessage, sizeof kNoMemoryMessage - 1) < 0) {
      // nothing more can be reported
    }
  }
  unlock();
  return p;
}

// Entered with mutex held; releases it on every path. Inline in the entry
// points: the common case is a set-up heap, a request within the limit and
// a fit on the list; the rest is out of line.
[[gnu::always_inline]] inline void *allocateObject(size_t size) {
  if (__builtin_expect(!_initialized, 0)) initialize();
  // Rounding up stays within the limit exactly when size <= kLargestRequest,
  // so this also refuses a size whose rounding would overflow.
  if (__builtin_expect(size - 1 >= kLargestRequest, 0)) return refuse(size);
  size_t blockSize = (size + kHeaderSize + kAlignment - 1) & ~(kAlignment - 1);
  if (blockSize < kMinBlockSize) blockSize = kMinBlockSize;

  void *p = __builtin_expect(_initialized, 1) ? tryAllocate(blockSize) : nullptr;
  if (__builtin_expect(p == nullptr, 0)) return growAndAllocate(blockSize);
  unlock();
  return p;
}

// Entered with mutex held; releases it. Merges with free neighbours at once.
// Reads each of the three size words once; a free block's word is its size,
// as its flag is clear.
[[gnu::always_inline]] inline void freeObject(void *ptr) {
  BlockHeader *h = headerOf(ptr);
  size_t size = sizeOf(h);
  BlockHeader *left = blockBelow(h, h->_leftSize);  // h itself for a chunk's first block
  BlockHeader *right = blockAt(h, size);            // a block or the right fencepost
  size_t leftWord = left->_blockSize;
  size_t rightWord = right->_blockSize;
  bool leftFree = (leftWord & kAllocatedBit) == 0;
  bool rightFree = (rightWord & kAllocatedBit) == 0;

  if (!leftFree && !rightFree) {  // nothing to merge: the block alone heads the list
    pushFront(h);
    h->_blockSize = size;
    unlock();
    return;
  }
  BlockHeader *merged = h;
  if (leftFree) {  // left grows where it stands; if right is free too, it moves to right's place
    if (rightFree) unlinkFree(left);
    size += leftWord;
    left->_blockSize = size;
    right->_leftSize = size;
    merged = left;
  }
  if (rightFree) {  // merged takes right's place in the list
    BlockHeader *next = right->_nextFree;
    BlockHeader *prev = right->_prevFree;
    merged->_nextFree = next;
    merged->_prevFree = prev;
    next->_prevFree = merged;
    prev->_nextFree = merged;
    size += rightWord;
    merged->_blockSize = size;
    blockAt(right, rightWord)->_leftSize = size;
  }
  unlock();
}

size_t payloadSize(void *ptr) { return sizeOf(headerOf(ptr)) - kHeaderSize; }

// heap_walk's state: the visitor and what the chunk walk counted, which the
// free-list walk must match.
struct Walk {
  const HeapVisitor *visitor;
  void *context;
  size_t freeBlocks;
  size_t freeBytes;
};

long offsetIn(const void *p) {
  return static_cast<long>(static_cast<const char *>(p) - static_cast<char *>(_memStart));
}

int brokenAt(const Walk &w, const char *what, const void *where) {
  if (w.visitor->broken != nullptr) w.visitor->broken(w.context, what, offsetIn(where));
  return -1;
}

void visitBlock(const Walk &w, const BlockHeader *b, size_t size, HeapBlockState state, int chunk) {
  if (w.visitor->block == nullptr) return;
  HeapBlockInfo info{offsetIn(b), size, b->_leftSize, state, chunk};
  w.visitor->block(w.context, &info);
}

// The region holding the n bytes at p, or null.
const Region *regionOf(const void *p, size_t n) {
  auto *c = static_cast<const char *>(p);
  for (size_t i = 0; i < regionCount; i++)
    if (c >= regions[i].start && n <= regions[i].size &&
        c - regions[i].start <= static_cast<ptrdiff_t>(regions[i].size - n))
      return &regions[i];
  return nullptr;
}

// Walks one region's chunks, each from its left fencepost to its right one.
int walkRegion(Walk &w, const Region &r, int &chunk) {
  char *end = r.start + r.size;
  for (char *c = r.start; c != end; chunk++) {
    if (static_cast<size_t>(end - c) < 2 * kFencepostSize + kMinBlockSize)
      return brokenAt(w, "chunk too small for its fenceposts", c);
    auto *left = reinterpret_cast<BlockHeader *>(c);
    if (left->_blockSize != kAllocatedBit) return brokenAt(w, "left fencepost overwritten", c);
    visitBlock(w, left, kFencepostSize, kHeapBlockFence, chunk);
    auto *b = blockAt(c, kFencepostSize);
    size_t leftSize = 0;
    bool leftFree = false;
    bool untouched = (b->_blockSize & kAllocatedBit) == 0;  // one free block, never split
    while (b->_blockSize != kAllocatedBit) {                // the right fencepost ends the chunk
      size_t size = sizeOf(b);
      size_t room = static_cast<size_t>(end - reinterpret_cast<char *>(b)) - kFencepostSize;
      if (size < kMinBlockSize || size % kAlignment != 0) return brokenAt(w, "bad block size", b);
      if (size > room) return brokenAt(w, "block runs past the end of its chunk", b);
      if (b->_leftSize != leftSize)
        return brokenAt(w, "leftSize does not match the block below", b);
      bool isFree = (b->_blockSize & kAllocatedBit) == 0;
      if (isFree && leftFree) return brokenAt(w, "two free neighbours", b);
      if (isFree) {
        w.freeBlocks++;
        w.freeBytes += size;
      }
      visitBlock(w, b, size, isFree ? kHeapBlockFree : kHeapBlockUsed, chunk);
      if (leftSize != 0) untouched = false;
      leftFree = isFree;
      leftSize = size;
      b = blockAt(b, size);
    }
    // A chunk whose one block was never split has never had this word written.
    if (b->_leftSize != leftSize && !(untouched && b->_leftSize == 0))
      return brokenAt(w, "right fencepost's leftSize does not match", b);
    visitBlock(w, b, kFencepostSize, kHeapBlockFence, chunk);
    c = reinterpret_cast<char *>(b) + kFencepostSize;
  }
  return 0;
}

// Follows _nextFree from the sentinel. Each entry must be a free block in the
// heap whose neighbour agrees with its size; the steps are bounded by the
// free blocks counted, so a cycle that misses the sentinel is caught.
int walkFreeList(Walk &w) {
  size_t listed = 0;
  size_t listedBytes = 0;
  const BlockHeader *prev = &_freeListSentinel;
  for (const BlockHeader *b = _freeListSentinel._nextFree; b != &_freeListSentinel;
       prev = b, b = b->_nextFree) {
    const Region *r = regionOf(b, kMinBlockSize);
    if (reinterpret_cast<uintptr_t>(b) % kAlignment != 0 || r == nullptr)
      return brokenAt(w, "free-list entry outside the heap", b);
    size_t size = b->_blockSize;
    if ((size & kAllocatedBit) != 0) return brokenAt(w, "allocated block on the free list", b);
    if (b->_prevFree != prev) return brokenAt(w, "free-list links disagree", b);
    size_t room = static_cast<size_t>(r->start + r->size - reinterpret_cast<const char *>(b));
    if (size < kMinBlockSize || size > room - kFencepostSize)
      return brokenAt(w, "free-list entry is not a block", b);
    const BlockHeader *right = blockAt(const_cast<BlockHeader *>(b), size);
    bool untouched =
        b->_leftSize == 0 && right->_blockSize == kAllocatedBit && right->_leftSize == 0;
    if (right->_leftSize != size && !untouched)
      return brokenAt(w, "free-list entry is not a block", b);
    if (++listed > w.freeBlocks) return brokenAt(w, "free list longer than the free blocks", b);
    listedBytes += size;
    if (w.visitor->freeEntry != nullptr) w.visitor->freeEntry(w.context, offsetIn(b), size);
  }
  if (_freeListSentinel._prevFree != prev)
    return brokenAt(w, "free list's tail link disagrees", &_freeListSentinel);
  if (listed != w.freeBlocks || listedBytes != w.freeBytes)
    return brokenAt(w, "free block missing from the free list", &_freeListSentinel);
  return 0;
}

}  // namespace

extern "C" {

void increaseMallocCalls() { _mallocCalls++; }
void increaseReallocCalls() { _reallocCalls++; }
void increaseCallocCalls() { _callocCalls++; }
void increaseFreeCalls() { _freeCalls++; }

void *malloc(size_t size) noexcept {
  lock();
  increaseMallocCalls();
  return allocateObject(size);
}

void free(void *ptr) noexcept {
  lock();
  increaseFreeCalls();
  if (ptr == nullptr) {
    unlock();
    return;
  }
  freeObject(ptr);
}

// Always moves the block: the new one is taken before the old one is freed.
// A non-zero size that cannot be served returns null and leaves ptr alone.
void *realloc(void *ptr, size_t size) noexcept {
  lock();
  increaseReallocCalls();
  void *fresh = allocateObject(size);
  if (ptr == nullptr) return fresh;
  if (fresh == nullptr && size != 0) return nullptr;
  if (fresh != nullptr) {
    size_t old = payloadSize(ptr);
    memcpy(fresh, ptr, size < old ? size : old);
  }
  lock();
  freeObject(ptr);
  return fresh;
}

void *calloc(size_t count, size_t size) noexcept {
  lock();
  increaseCallocCalls();
  size_t length;
  if (__builtin_mul_overflow(count, size, &length)) length = SIZE_MAX;  // refused as too large
  void *p = allocateObject(length);
  if (p != nullptr) memset(p, 0, length);
  return p;
}

void print_list() {
  printf("FreeList: ");
  if (!_initialized) initialize();
  if (_initialized) {
    const char *separator = "";
    for (BlockHeader *b = _freeListSentinel._nextFree; b != &_freeListSentinel; b = b->_nextFree) {
      printf("%s[offset:%ld,size:%zd]", separator,
             static_cast<long>(reinterpret_cast<char *>(b) - static_cast<char *>(_memStart)),
             sizeOf(b));
      separator = "->";
    }
  }
  printf("\n");
}

void print() {
  printf("\n-------------------\n");
  printf("HeapSize:\t%zd bytes\n", _heapSize);
  printf("# mallocs:\t%d\n", _mallocCalls);
  printf("# reallocs:\t%d\n", _reallocCalls);
  printf("# callocs:\t%d\n", _callocCalls);
  printf("# frees:\t%d\n", _freeCalls);
  printf("\n-------------------\n");
}

void atExitHandlerInC() {
  if (verbose) print();
}

int heap_walk(const HeapVisitor *visitor, void *context) {
  Walk w{visitor, context, 0, 0};
  if (!_initialized) return 0;
  if (regionsLost) return brokenAt(w, "heap in more regions than the walk can track", _memStart);
  if (_freeList != &_freeListSentinel || _freeListSentinel._blockSize != 0 ||
      _freeListSentinel._leftSize != 0)
    return brokenAt(w, "free-list sentinel overwritten", &_freeListSentinel);
  int chunk = 0;
  for (size_t i = 0; i < regionCount; i++)
    if (walkRegion(w, regions[i], chunk) != 0) return -1;
  return walkFreeList(w);
}

}  // extern "C"
