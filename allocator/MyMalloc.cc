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

// Extends the heap by n bytes. Returns the new memory, or null if the system
// refuses; a refused request is not counted in _heapSize.
void *getMemoryFromOS(size_t n) {
  void *p = sbrk(static_cast<intptr_t>(n));
  if (p == reinterpret_cast<void *>(-1)) return nullptr;
  _heapSize += n;
  if (!_initialized) _memStart = p;
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

}  // extern "C"
