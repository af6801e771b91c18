// MyMalloc: the classic boundary-tag allocator. 2 MiB chunks from sbrk, each
// fenced at both ends; one circular free list behind a sentinel; first fit,
// carved from the high end of the block it splits; free merges at once with
// free neighbours; one mutex. Read it top to bottom: the heap, the lock,
// getting a chunk, the set-up, the search and the carve, free, the entry
// points. MyMallocLayout.h has the words and the block header. Users compile
// this one file in (g++ prog.cc MyMalloc.cc); it includes the parts beside it,
// each before the code that uses it. Nothing on the allocation and free paths
// allocates; no C++ runtime is needed. MyMallocPreload.cc builds the preload
// library (libmymalloc.so) on this core with entry points of its own.

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
#include <sys/mman.h>
#include <sys/single_threaded.h>
#include <unistd.h>

#include "MyMallocLayout.h"

using namespace mymalloc;

// write(2) is a cancellation point, so glibc does not declare it nothrow, and
// a call of it from a noexcept entry point would make the compiler reach for
// the C++ runtime's personality routine. The allocator writes only failure
// messages, so it binds the same symbol under a nothrow declaration.
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

// Whether the one-time set-up has completed. Written once, under mutex, with
// release; read with acquire (a plain load on x86), so that a thread working
// on another heap of the preload library sees the set-up done or not at all.
inline bool isSetUp() { return __atomic_load_n(&_initialized, __ATOMIC_ACQUIRE) != 0; }

BlockHeader *blockAt(void *base, size_t offset) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(base) + offset);
}
BlockHeader *blockBelow(void *base, size_t offset) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(base) - offset);
}
void *payloadOf(BlockHeader *b) { return reinterpret_cast<char *>(b) + kHeaderSize; }

// A block's two tags: its size word (size and flag) in its header, and its
// size in the _leftSize of the block after it (next, if the caller has it).
inline void writeTags(BlockHeader *b, size_t size, size_t flag, BlockHeader *next = nullptr) {
  b->_blockSize = size | flag;
  (next != nullptr ? next : blockAt(b, size))->_leftSize = size;
}

}  // namespace

#include "MyMallocIndex.inc"  // the size index behind first fit

namespace {

// A heap: a free list with its chunks, its size index and its lock. The
// compiled-in build has one, firstHeap, whose parts are the globals above.
struct Heap {
  BlockHeader *freeList;  // its sentinel
  pthread_mutex_t *lock;
  size_t *size;  // bytes obtained from the system
  SizeIndex *index;
  unsigned number;  // 0 for the first; where the walk keeps its chunks (MyMallocWalk.inc)
};
SizeIndex firstIndex;
constexpr Heap firstHeap{&_freeListSentinel, &mutex, &_heapSize, &firstIndex, 0};

}  // namespace

#include "MyMallocOptions.inc"  // the settings from the environment
#include "MyMallocTable.inc"    // which chunk or mapped block a pointer lies in
#include "MyMallocWalk.inc"     // the heap walk and the table of regions
#include "MyMallocReport.inc"   // the one line of every fault
#include "MyMallocPatterns.inc"  // the heap check's slack and free-block patterns
#include "MyMallocCheck.inc"    // the checks of a pointer given back, and MYMALLOC_CHECK

namespace {

// ---- The lock ----
// The entry points take the heap's lock, and the step they hand the request
// to (allocateObject, freeObject) releases it as its last act, on every path.
//
// While the process has a single thread, the lock is skipped; glibc clears
// __libc_single_threaded for good before it starts a second thread, which
// the calling thread cannot do between lock() and unlock(). The entry point
// names itself and the block it was given for the heap check (null: the
// operation under way goes on); inlined, __builtin_return_address is its caller.
[[gnu::always_inline]] inline void lock(const Heap &h, const char *call = nullptr,
                                        void *given = nullptr) {
  if (!__libc_single_threaded) pthread_mutex_lock(h.lock);
  if (__builtin_expect(checkIsWanted(), 0)) checkOnLock(h, call, __builtin_return_address(0), given);
}
[[gnu::always_inline]] inline void unlock(const Heap &h) {
  if (__builtin_expect(checkAfterThis, 0)) checkOnUnlock();
  if (!__libc_single_threaded) pthread_mutex_unlock(h.lock);
}

// ---- Getting a chunk (K&R's morecore) ----

constexpr char kNoMemoryMessage[] = "CANNOT SATISFY MEMORY REQUEST. RETHINK YOUR CHOICES!\n";
static_assert(sizeof kNoMemoryMessage - 1 == 53);

// Memory for a chunk: the first heap's from the break (the process has one
// break; its chunks start on kAlignment even if someone moved it by an odd
// amount), the preload library's other heaps' mapped. Null if the system refuses.
char *getMemoryFromOS(const Heap &h) {
  if (h.number != 0) {
    void *m = mmap(nullptr, kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return m == MAP_FAILED ? nullptr : static_cast<char *>(m);
  }
  auto *start = static_cast<char *>(sbrk(static_cast<intptr_t>(kChunkSize)));
  if (start == reinterpret_cast<char *>(-1)) return nullptr;
  size_t pad = (0 - reinterpret_cast<uintptr_t>(start)) % kAlignment;
  if (pad != 0 && sbrk(static_cast<intptr_t>(pad)) == reinterpret_cast<void *>(-1)) {
    sbrk(-static_cast<intptr_t>(kChunkSize));
    return nullptr;
  }
  return start + pad;
}

// A fenced chunk for h, its one free block's header filled in but not
// listed; null if the system refuses, which is then not counted in the
// heap's size. A chunk the table by address has no room for (the system
// refused a page of it) stays unused.
BlockHeader *getNewChunk(const Heap &h) {
  char *start = getMemoryFromOS(h);
  if (start == nullptr || !noteSpan(start, kChunkSize, h.number, false)) return nullptr;
  *h.size += kChunkSize;
  noteChunk(h, start, kChunkSize);
  blockAt(start, 0)->_blockSize = kAllocatedBit;                           // left fencepost
  blockAt(start, kChunkSize - kFencepostSize)->_blockSize = kAllocatedBit;  // right fencepost
  BlockHeader *b = blockAt(start, kFencepostSize);
  b->_blockSize = kFreshBlockSize;
  b->_leftSize = 0;
  return b;
}

}  // namespace

#include "MyMallocFreeList.inc"  // pushFront, unlinkFree, resizeFree, takePlace

namespace {

// ---- The one-time set-up ----

// If the system refuses the first chunk, _initialized stays 0 and a later
// call tries again. The exit report and the fork handlers are registered
// once (neither registration allocates for its first entries, so both are
// safe under the lock), unless verbose is set already: the preload library
// registers its own from its constructor.
void initialize() {
  if (!verbose) {
    verbose = 1;
    atexit(atExitHandlerInC);
    // fork() copies the heap as it stands. Holding the lock across it means
    // no other thread is half-way through a change, and the child, whose only
    // thread is the one that forked, starts with the lock free.
    auto lockIt = [] { pthread_mutex_lock(&mutex); };
    auto unlockIt = [] { pthread_mutex_unlock(&mutex); };
    pthread_atfork(lockIt, unlockIt, unlockIt);
  }
  BlockHeader *first = getNewChunk(firstHeap);
  if (first == nullptr) return;
  _memStart = blockBelow(first, kFencepostSize);  // the first chunk: the origin of offsets
  _freeList = &_freeListSentinel;
  _freeListSentinel._nextFree = _freeListSentinel._prevFree = &_freeListSentinel;
  pushFront(firstHeap, first);
  __atomic_store_n(&_initialized, 1, __ATOMIC_RELEASE);
}

// ---- First fit and the carve ----

// The first block in list order that fits, after the head, which does not.
// A few blocks after the head first: most fits are among them, and each costs
// far less than a search of the index. Without the index, the walk goes on
// to the end. Null if none fits.
[[gnu::noinline]] BlockHeader *findFit(const Heap &h, size_t blockSize) {
  BlockHeader *b = h.freeList->_nextFree;
  searchStep(b, kSearchHead);  // the head, which did not fit
  size_t steps = shortWalkLength(*h.index);
  for (b = b->_nextFree; b != h.freeList && steps-- != 0; b = b->_nextFree) {
    searchStep(b, kSearchWalk);
    if (b->_blockSize >= blockSize) return b;  // the flag of a block on the list is clear
  }
  BlockHeader *fit = b != h.freeList ? indexFit(*h.index, blockSize) : nullptr;
  searchStep(fit, kSearchFound);  // null: the heap grows, and its fresh block fits
  return fit;
}

// First fit in list order; the head is looked at first, and most often fits.
// Carves the block from the high end of the one it finds, so the remainder
// keeps its links and its place in the list. Null if nothing fits.
[[gnu::always_inline]] inline void *tryAllocate(const Heap &h, size_t blockSize) {
  BlockHeader *b = h.freeList->_nextFree;
  // The sentinel's size word is 0, so an empty list fails this test too.
  if (__builtin_expect(b->_blockSize < blockSize, 0)) {
    b = findFit(h, blockSize);
    if (b == nullptr) return nullptr;
  }
  size_t size = b->_blockSize;  // the flag of a block on the list is clear
  size_t remainder = size - blockSize;
  if (remainder < kMinBlockSize) {  // handed out whole
    unlinkFree(h, b, size);
    writeTags(b, size, kAllocatedBit);
    carveStep(b, size, true);
    return payloadOf(b);
  }
  resizeFree(h, b, remainder);
  BlockHeader *n = blockAt(b, remainder);
  writeTags(n, blockSize, kAllocatedBit);  // n's _leftSize was written with the remainder's tags
  carveStep(n, blockSize, false);
  return payloadOf(n);
}

// The block size for a request length: header added, rounded up to
// kAlignment, at least kMinBlockSize; false if it does not fit in size_t.
inline bool blockSizeFor(size_t size, size_t *blockSize) {
  // slackRoom: the heap check's room after the request; 0 without the check
  if (__builtin_add_overflow(size, kHeaderSize + kAlignment - 1 + slackRoomNow(), blockSize)) return false;
  *blockSize &= ~(kAlignment - 1);
  if (*blockSize < kMinBlockSize) *blockSize = kMinBlockSize;
  return true;
}

// No free block fits: grow by one chunk, whatever the request; its block
// heads the list and is the first fit the search meets. Releases the lock.
[[gnu::noinline]] void *growAndAllocate(const Heap &h, size_t blockSize, size_t size) {
  void *p = nullptr;
  if (isSetUp()) {  // not only if the system refused the first chunk
    BlockHeader *fresh = getNewChunk(h);
    if (fresh != nullptr) {
      pushFront(h, fresh);
      p = tryAllocate(h, blockSize);
    }
  }
  if (p == nullptr && writeNoThrow(STDERR_FILENO, kNoMemoryMessage, sizeof kNoMemoryMessage - 1) < 0) {
    // nothing more can be reported
  }
  if (p != nullptr) armStep(p, size);
  unlock(h);
  return p;
}

// A request of 0 bytes (errno untouched) or beyond the limit (ENOMEM) gets
// null. Releases the lock.
[[gnu::noinline]] void *refuse(const Heap &h, size_t size) {
  if (size != 0) errno = ENOMEM;
  unlock(h);
  return nullptr;
}

void *allocateObject(const Heap &h, size_t size);

// The first request of all: the one-time set-up, then the request. If the
// system refused the first chunk, there is no heap and no fit. Releases the lock.
[[gnu::noinline]] void *allocateFirst(const Heap &h, size_t size) {
  initialize();
  if (isSetUp()) return allocateObject(h, size);
  if (size - 1 >= kLargestRequest) return refuse(h, size);
  return growAndAllocate(h, 0, 0);  // writes the message
}

// Entered with the lock held; releases it on every path. Inline in the entry
// points: the common case is a set-up heap, a request within the limit and
// a fit on the list; the rest is out of line.
[[gnu::always_inline]] inline void *allocateObject(const Heap &h, size_t size) {
  if (__builtin_expect(!isSetUp(), 0)) return allocateFirst(h, size);
  // Rounding up stays within the limit exactly when size <= kLargestRequest,
  // so this also refuses a size whose rounding would overflow.
  if (__builtin_expect(size - 1 >= kLargestRequest - slackRoomNow(), 0)) return refuse(h, size);
  size_t blockSize;
  blockSizeFor(size, &blockSize);  // size is within the limit: no overflow

  void *p = tryAllocate(h, blockSize);
  if (__builtin_expect(p == nullptr, 0)) return growAndAllocate(h, blockSize, size);
  armStep(p, size);
  unlock(h);
  return p;
}

// ---- Free and the merge ----

// With the lock held: merges the block with its free neighbours at once. Reads
// each of the three size words once; a free block's word is its size.
[[gnu::always_inline]] inline void freeBlock(const Heap &h, void *ptr) {
  BlockHeader *b = headerOf(ptr);
  size_t size = sizeOf(b);
  BlockHeader *left = blockBelow(b, b->_leftSize);  // b itself for a chunk's first block
  BlockHeader *right = blockAt(b, size);            // a block or the right fencepost
  size_t leftWord = left->_blockSize;
  size_t rightWord = right->_blockSize;
  bool leftFree = (leftWord & kAllocatedBit) == 0;
  bool rightFree = (rightWord & kAllocatedBit) == 0;

  if (!leftFree && !rightFree) {  // nothing to merge: the block alone heads the list
    b->_blockSize = size;
    pushFront(h, b);
    return mergeStep(b, b, reinterpret_cast<char *>(right));
  }
  if (!rightFree) {  // left grows in place
    resizeFree(h, left, leftWord + size, right);
    return mergeStep(left, b, reinterpret_cast<char *>(right));
  }
  BlockHeader *merged = b;  // takes right's place; a free left leaves its own
  if (leftFree) {
    unlinkFree(h, left, leftWord);
    size += leftWord;
    right->_leftSize = size;
    merged = left;
  }
  takePlace(h, right, merged, size + rightWord);
  // right's header, links and index word are payload of the merged block now
  mergeStep(merged, b, reinterpret_cast<char *>(right) + (rightWord < kFreeKept ? rightWord : kFreeKept));
}

// Entered with the lock held; releases it.
[[gnu::always_inline]] inline void freeObject(const Heap &h, void *ptr) {
  freeBlock(h, ptr);
  unlock(h);
}

// The bytes a block holds.
[[maybe_unused]] size_t payloadSize(void *ptr) { return sizeOf(headerOf(ptr)) - kHeaderSize; }

}  // namespace

#include "MyMallocAligned.inc"  // aligned blocks carved from the heap
#include "MyMallocReports.inc"  // print_list, print and the exit report

// ---- The entry points ----
// Each takes the lock and counts its call; allocateObject or freeObject
// releases the lock. The preload library (MyMallocPreload.cc) defines this
// switch and brings entry points of its own; everything above is its heap.
#ifndef MYMALLOC_PRELOAD
extern "C" {

void *malloc(size_t size) noexcept {
  lock(firstHeap, "malloc");
  increaseMallocCalls();
  return allocateObject(firstHeap, size);
}

void free(void *ptr) noexcept {
  lock(firstHeap, "free", ptr);
  increaseFreeCalls();
  if (ptr == nullptr) return unlock(firstHeap);
  freeObject(firstHeap, ptr);
}

// Always moves the block: the new one is taken before the old one is freed.
// A non-zero size that cannot be served returns null and leaves ptr alone.
void *realloc(void *ptr, size_t size) noexcept {
  lock(firstHeap, "realloc", ptr);
  increaseReallocCalls();
  void *fresh = allocateObject(firstHeap, size);
  if (ptr == nullptr) return fresh;
  if (fresh == nullptr && size != 0) return nullptr;
  if (fresh != nullptr) {
    size_t old = usableBytes(ptr, payloadSize(ptr));
    memcpy(fresh, ptr, size < old ? size : old);
  }
  lock(firstHeap);  // realloc goes on
  freeObject(firstHeap, ptr);
  return fresh;
}

void *calloc(size_t count, size_t size) noexcept {
  lock(firstHeap, "calloc");
  increaseCallocCalls();
  size_t length;
  if (__builtin_mul_overflow(count, size, &length)) length = SIZE_MAX;  // refused as too large
  void *p = allocateObject(firstHeap, length);
  if (p != nullptr) memset(p, 0, length);
  return p;
}

}  // extern "C"

#include "MyMallocLibcCalls.inc"  // aligned_alloc, memalign, ..., malloc_usable_size
#endif
