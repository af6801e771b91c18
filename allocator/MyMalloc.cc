// MyMalloc: boundary-tag allocator over 2 MiB sbrk chunks, one circular free
// list, first fit from the high end of the block it splits, one mutex.
//
// Nothing on the allocation and free paths may allocate: no stdio, no C++
// library. Only the two reports use printf, and they run without the lock.
//
// This file is the classic allocator, in the order a request meets it; it
// reaches the parts beside it through MyMallocHooks.h and includes them at its
// end, so that users still compile this one file. Built with -DMYMALLOC_PRELOAD,
// the same source is libmymalloc.so, which takes libc's place in any program
// through LD_PRELOAD (MyMallocPreload.inc).

// g++ counts __builtin_return_address (the heap check's caller) as a call that
// may throw, which in a noexcept entry point needs the C++ runtime. Nothing
// here throws: no exception tables, as the build's -fno-exceptions gives.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-exceptions")
#endif

#include "MyMalloc.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/single_threaded.h>
#include <unistd.h>

#include "MyMallocHooks.h"
#include "MyMallocLayout.h"

using namespace mymalloc;

// write(2) is a cancellation point, so glibc does not declare it nothrow, and
// a call of it from a noexcept entry point would make the compiler reach for
// the C++ runtime's personality routine. The allocator writes only a failure
// message, so it binds the same symbol under a nothrow declaration.
extern "C" ssize_t writeNoThrow(int fd, const void *buf, size_t n) noexcept __asm__("write");

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

extern "C" {
void increaseMallocCalls() { _mallocCalls++; }
void increaseReallocCalls() { _reallocCalls++; }
void increaseCallocCalls() { _callocCalls++; }
void increaseFreeCalls() { _freeCalls++; }
}

namespace {

char verbose;  // set by the one-time set-up; the exit report is printed while set

#ifdef MYMALLOC_PRELOAD
constexpr bool kPreload = true;
#else
constexpr bool kPreload = false;
#endif

constexpr char kNoMemoryMessage[] = "CANNOT SATISFY MEMORY REQUEST. RETHINK YOUR CHOICES!\n";
static_assert(sizeof kNoMemoryMessage - 1 == 53);

BlockHeader *blockAt(void *base, size_t offset) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(base) + offset);
}
BlockHeader *blockBelow(void *base, size_t offset) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(base) - offset);
}
void *payloadOf(BlockHeader *b) { return reinterpret_cast<char *>(b) + kHeaderSize; }

// While the process has a single thread, no other thread can reach the heap,
// so the entry points skip mutex; glibc clears __libc_single_threaded for good
// before it starts a second thread, and from then on mutex is always taken.
// The flag cannot change between lock() and unlock(): only the calling thread
// could start a thread, and it does not while inside the allocator.
// Inline: a call of its own would cost the fast path a tenth of its instructions.
// The entry point names itself and the block it was given (or null) for the
// heap check, and null for a lock that goes on with its operation. Inlined
// into the entry point, __builtin_return_address is the entry point's caller;
// it is read only when the check is on.
[[gnu::always_inline]] inline void lock(const char *call = nullptr, void *given = nullptr) {
  if (!__libc_single_threaded) pthread_mutex_lock(&mutex);
  if (__builtin_expect(checkWanted, 0)) checkOnLock(call, __builtin_return_address(0), given);
}
[[gnu::always_inline]] inline void unlock() {
  if (__builtin_expect(checkAfterThis, 0)) checkOnUnlock();
  if (!__libc_single_threaded) pthread_mutex_unlock(&mutex);
}

// The preload library's entry points take a road of their own (the cache,
// mapped blocks, realloc in place), which locks only where it reaches the
// heap. With the check on, the call's checks run first, under the lock; the
// cache is then off, so every block the road touches is a checked one.
[[gnu::always_inline]] inline void checkCall(const char *call, void *given = nullptr) {
  if (__builtin_expect(checkWanted, 0)) {
    lock(call, given);
    unlock();
  }
}

// ---- Chunks from the system ----

// Extends the heap by n bytes. Returns the new memory, or null if the system
// refuses; a refused request is not counted in _heapSize.
void *getMemoryFromOS(size_t n) {
  if (kPreload) alignBreak();
  void *p = sbrk(static_cast<intptr_t>(n));
  if (p == reinterpret_cast<void *>(-1)) return nullptr;
  _heapSize += n;
  if (!_initialized) _memStart = p;
  noteChunk(static_cast<char *>(p), n);
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

// ---- The free list ----
// Every change to the list, and every change of a listed block's size, goes
// through these four, which tell the size index.

// Puts b, its size set, at the head of the free list, right after the sentinel.
void pushFront(BlockHeader *b) {
  BlockHeader *head = _freeListSentinel._nextFree;
  b->_nextFree = head;
  b->_prevFree = &_freeListSentinel;
  head->_prevFree = b;
  _freeListSentinel._nextFree = b;
  noteListed(b);
}

// b, of the given size, leaves the list.
void unlinkFree(BlockHeader *b, size_t size) {
  b->_nextFree->_prevFree = b->_prevFree;
  b->_prevFree->_nextFree = b->_nextFree;
  noteUnlisted(b, size);
}

// A listed block's new size; it keeps its place.
inline void resizeFree(BlockHeader *b, size_t size) {
  size_t old = b->_blockSize;
  b->_blockSize = size;
  noteResized(b, old);
}

// b, not listed, takes the listed block old's place, with the given size.
void takePlace(BlockHeader *old, BlockHeader *b, size_t size) {
  size_t oldSize = old->_blockSize;
  BlockHeader *next = old->_nextFree;
  BlockHeader *prev = old->_prevFree;
  b->_nextFree = next;
  b->_prevFree = prev;
  next->_prevFree = b;
  prev->_nextFree = b;
  b->_blockSize = size;
  noteTookPlace(old, oldSize, b);
}

// ---- The one-time set-up ----

// fork() copies the heap as it stands. Holding the lock across it means no
// other thread is half-way through a change, and the child, whose only thread
// is the one that forked, starts with the lock free and can allocate.
void lockForFork() { pthread_mutex_lock(&mutex); }
void unlockAfterFork() { pthread_mutex_unlock(&mutex); }

// If the system refuses the first chunk, _initialized stays 0 and a later
// call tries again; the hooks are registered only once. Neither registration
// allocates for its first entries, so both are safe under the lock. The
// preload library registers them from its constructor instead: its first
// call may come from inside libc's start-up, before atexit is ready for it.
void initialize() {
  if (!verbose) {
    verbose = 1;
    if (!kPreload) {
      atexit(atExitHandlerInC);
      pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork);
    }
  }
  BlockHeader *first = newFreshBlock();
  if (first == nullptr) return;
  _freeList = &_freeListSentinel;
  _freeListSentinel._nextFree = _freeListSentinel._prevFree = &_freeListSentinel;
  pushFront(first);
  _initialized = 1;
}

// ---- First fit and the split ----

// The first block in list order that fits, after the head, which does not.
// A few blocks after the head first: most fits are among them, and each costs
// far less than a search of the index. Without the index, the walk goes on
// to the end. Null if none fits.
[[gnu::noinline]] BlockHeader *findFit(size_t blockSize) {
  countSlowSearch();
  countVisit();  // the head
  size_t steps = shortWalkLength();
  bool checked = checkWanted;
  BlockHeader *b = _freeListSentinel._nextFree->_nextFree;
  for (; b != &_freeListSentinel && steps-- != 0; b = b->_nextFree) {
    countVisit();
    if (__builtin_expect(checked, 0)) checkFreeBlock(b);  // before its size and link are trusted
    if (b->_blockSize >= blockSize) return b;  // the flag of a block on the list is clear
  }
  BlockHeader *fit = b != &_freeListSentinel ? indexFit(blockSize) : nullptr;
  if (__builtin_expect(checked, 0) && fit != nullptr) checkFreeBlock(fit);
  if (fit == nullptr) countVisit();  // the heap grows, and its fresh block fits
  return fit;
}

// First fit in list order; the head is looked at first, and most often fits.
// Splits off the high end of the block it finds, so the remainder keeps its
// links and its place in the list.
[[gnu::always_inline]] inline void *tryAllocate(size_t blockSize) {
  BlockHeader *b = _freeListSentinel._nextFree;
  // The sentinel's size word is 0, so an empty list fails this test too.
  if (__builtin_expect(b->_blockSize < blockSize, 0)) {
    b = findFit(blockSize);
    if (b == nullptr) return nullptr;
  }
  size_t size = b->_blockSize;  // the flag of a block on the list is clear
  size_t remainder = size - blockSize;
  if (remainder < kMinBlockSize) {
    unlinkFree(b, size);
    b->_blockSize = size | kAllocatedBit;
    blockAt(b, size)->_leftSize = size;
    return payloadOf(b);
  }
  resizeFree(b, remainder);
  BlockHeader *n = blockAt(b, remainder);
  n->_blockSize = blockSize | kAllocatedBit;
  n->_leftSize = remainder;
  blockAt(n, blockSize)->_leftSize = blockSize;
  return payloadOf(n);
}

// The block size for a request length: header added, rounded up to
// kAlignment, at least kMinBlockSize; false if it does not fit in size_t.
inline bool blockSizeFor(size_t size, size_t *blockSize) {
  if (__builtin_add_overflow(size, kHeaderSize + kAlignment - 1, blockSize)) return false;
  *blockSize &= ~(kAlignment - 1);
  if (*blockSize < kMinBlockSize) *blockSize = kMinBlockSize;
  return true;
}

// A request of 0 bytes (errno untouched) or beyond the limit (ENOMEM).
// Entered with mutex held; releases it and returns null. The preload library
// serves both instead: the smallest block, or a chunk of the block's own.
[[gnu::noinline]] void *allocateOutsideLimits(size_t size) {
  if (kPreload) return preloadOutsideLimits(size);
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
    if (writeNoThrow(STDERR_FILENO, kNoMemoryMessage, sizeof kNoMemoryMessage - 1) < 0) {
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
  if (__builtin_expect(size - 1 >= kLargestRequest, 0)) return allocateOutsideLimits(size);
  size_t blockSize;
  blockSizeFor(size, &blockSize);  // size is within the limit: no overflow

  void *p = __builtin_expect(_initialized, 1) ? tryAllocate(blockSize) : nullptr;
  if (__builtin_expect(p == nullptr, 0)) return growAndAllocate(blockSize);
  unlock();
  return p;
}

// ---- Free and the merge ----

// With mutex held: merges with free neighbours at once. Reads each of the
// three size words once; a free block's word is its size, as its flag is clear.
[[gnu::always_inline]] inline void freeBlock(void *ptr) {
  BlockHeader *h = headerOf(ptr);
  size_t size = sizeOf(h);
  BlockHeader *left = blockBelow(h, h->_leftSize);  // h itself for a chunk's first block
  BlockHeader *right = blockAt(h, size);            // a block or the right fencepost
  size_t leftWord = left->_blockSize;
  size_t rightWord = right->_blockSize;
  bool leftFree = (leftWord & kAllocatedBit) == 0;
  bool rightFree = (rightWord & kAllocatedBit) == 0;

  if (!leftFree && !rightFree) {  // nothing to merge: the block alone heads the list
    h->_blockSize = size;
    pushFront(h);
    return;
  }
  if (!rightFree) {  // left grows where it stands
    size += leftWord;
    resizeFree(left, size);
    right->_leftSize = size;
    return;
  }
  BlockHeader *merged = h;
  if (leftFree) {  // left leaves its own place and moves, grown, to right's
    unlinkFree(left, leftWord);
    size += leftWord;
    right->_leftSize = size;
    merged = left;
  }
  size += rightWord;
  takePlace(right, merged, size);
  blockAt(right, rightWord)->_leftSize = size;
}

// Entered with mutex held; releases it.
[[gnu::always_inline]] inline void freeObject(void *ptr) {
  freeBlock(ptr);
  unlock();
}

size_t payloadSize(void *ptr) { return sizeOf(headerOf(ptr)) - kHeaderSize; }

}  // namespace

// ---- The entry points ----

extern "C" {

void *malloc(size_t size) noexcept {
  if (kPreload) {
    checkCall("malloc");
    return preloadMalloc(size);
  }
  lock("malloc");
  increaseMallocCalls();
  return allocateObject(size);
}

void free(void *ptr) noexcept {
  if (kPreload) {
    checkCall("free", ptr);
    return preloadFree(ptr);
  }
  lock("free", ptr);
  increaseFreeCalls();
  if (ptr == nullptr) {
    unlock();
    return;
  }
  freeObject(ptr);
}

// Always moves the block: the new one is taken before the old one is freed.
// A non-zero size that cannot be served returns null and leaves ptr alone.
// The preload library resizes in place where it can.
void *realloc(void *ptr, size_t size) noexcept {
  if (kPreload) {
    checkCall("realloc", ptr);
    return preloadRealloc(ptr, size);
  }
  lock("realloc", ptr);
  increaseReallocCalls();
  void *fresh = allocateObject(size);
  if (ptr == nullptr) return fresh;
  if (fresh == nullptr && size != 0) return nullptr;
  if (fresh != nullptr) {
    size_t old = payloadSize(ptr);
    memcpy(fresh, ptr, size < old ? size : old);
  }
  lock(nullptr);  // realloc goes on
  freeObject(ptr);
  return fresh;
}

void *calloc(size_t count, size_t size) noexcept {
  if (kPreload) {
    checkCall("calloc");
    return preloadCalloc(count, size);
  }
  lock("calloc");
  increaseCallocCalls();
  size_t length;
  if (__builtin_mul_overflow(count, size, &length)) length = SIZE_MAX;  // refused as too large
  void *p = allocateObject(length);
  if (p != nullptr) memset(p, 0, length);
  return p;
}

// ---- The reports ----

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
  FILE *out = reportStream();
  fprintf(out, "\n-------------------\n");
  fprintf(out, "HeapSize:\t%zd bytes\n", _heapSize);
  fprintf(out, "# mallocs:\t%d\n", _mallocCalls);
  fprintf(out, "# reallocs:\t%d\n", _reallocCalls);
  fprintf(out, "# callocs:\t%d\n", _callocCalls);
  fprintf(out, "# frees:\t%d\n", _freeCalls);
  fprintf(out, "\n-------------------\n");
}

void atExitHandlerInC() {
  if (verbose && statsWanted()) print();
  checkAtExit();
}

}  // extern "C"

// ---- The parts beside the core, in this order: the heap walk audits the index ----

// The size index behind first fit.
#include "MyMallocIndex.inc"
// The heap walk and MYMALLOC_CHECK.
#include "MyMallocCheck.inc"
// The aligned entry points and malloc_usable_size.
#include "MyMallocAligned.inc"
// What only the preload library has: large blocks as mappings of their own,
// the per-thread cache, and the entry points' road through both.
#include "MyMallocLarge.inc"
#include "MyMallocThreadCache.inc"
#include "MyMallocPreload.inc"
