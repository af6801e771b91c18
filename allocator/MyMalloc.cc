// MyMalloc: the classic boundary-tag allocator, compiled into the program that
// uses it (g++ prog.cc MyMalloc.cc). The heap grows by 2 MiB chunks from sbrk,
// each fenced at both ends; its free blocks lie on one circular list behind a
// sentinel; malloc takes the first fit and carves it from the high end of the
// block it splits; free merges a block at once with its free neighbours; one
// mutex guards it all. MyMallocLayout.h has the words and the block header;
// each part beside this file is included before the code that uses it.
// Nothing here allocates or needs the C++ runtime. MyMallocPreload.cc builds
// the preload library (libmymalloc.so) on this core.

#include "MyMallocSystem.inc"  // system headers, and write(2) for the failure message

#include "MyMalloc.h"
#include "MyMallocLayout.h"

using namespace mymalloc;

// The heap's globals, all zero at start; MyMallocLayout.h says what each holds.
BlockHeader *_freeList;
BlockHeader _freeListSentinel;
size_t _heapSize;
int _initialized;
void *_memStart;
int _mallocCalls, _reallocCalls, _callocCalls, _freeCalls;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

extern "C" {
void increaseMallocCalls() { _mallocCalls++; }
void increaseReallocCalls() { _reallocCalls++; }
void increaseCallocCalls() { _callocCalls++; }
void increaseFreeCalls() { _freeCalls++; }
}

namespace {

char verbose;  // set by the one-time set-up; the exit report is printed while set

// Written once, under the lock, with release; read with acquire (a plain load
// on x86), since the preload library's other heaps read it under other locks.
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

#include "MyMallocIndex.inc"     // the size index behind first fit
#include "MyMallocHeaps.inc"     // a heap, and where its chunks' memory comes from
#include "MyMallocOptions.inc"   // the settings from the environment
#include "MyMallocTable.inc"     // which chunk or mapped block a pointer lies in
#include "MyMallocWalk.inc"      // the heap walk and the table of regions
#include "MyMallocReport.inc"    // the one line of every fault
#include "MyMallocPatterns.inc"  // the heap check's slack and free-block patterns
#include "MyMallocCheck.inc"     // the checks of a pointer given back, and MYMALLOC_CHECK
#include "MyMallocLock.inc"      // lock() and unlock()
#include "MyMallocFreeList.inc"  // pushFront, unlinkFree, resizeFree, takePlace

namespace {

// ---- Getting a chunk (K&R's morecore) ----

constexpr char kNoMemoryMessage[] = "CANNOT SATISFY MEMORY REQUEST. RETHINK YOUR CHOICES!\n";
static_assert(sizeof kNoMemoryMessage - 1 == 53);

// A fenced chunk for h, its one free block's header filled in but not
// listed; null if the system refuses (getMemoryFromOS, MyMallocHeaps.inc),
// which is then not counted in the heap's size. A chunk the table by
// address has no room for stays unused.
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

// ---- First fit and the carve ----

// The first block in list order that fits, after the head, which does not:
// a few blocks first, where most fits are and each costs far less than a
// search of the size index (without which the walk goes on to the end).
template <Road R = Road::kWatched>
[[gnu::noinline]] BlockHeader *findFit(const Heap &h, size_t blockSize) {
  BlockHeader *b = h.freeList->_nextFree;
  searchStep<R>(h, b, kSearchHead);  // the head, which did not fit
  size_t steps = shortWalkLength(*h.index);
  for (b = b->_nextFree; b != h.freeList && steps-- != 0; b = b->_nextFree) {
    searchStep<R>(h, b, kSearchWalk);
    if (b->_blockSize >= blockSize) return b;  // the flag of a block on the list is clear
  }
  BlockHeader *fit = b != h.freeList ? indexFit(*h.index, blockSize) : nullptr;
  searchStep<R>(h, fit, kSearchFound);  // null: the heap grows, and its fresh block fits
  return fit;
}

// First fit, the head first, which most often fits; the block is carved from
// the high end of the one found, so the remainder keeps its links and place.
template <Road R = Road::kWatched>
[[gnu::always_inline]] inline void *tryAllocate(const Heap &h, size_t blockSize) {
  BlockHeader *b = h.freeList->_nextFree;
  // The sentinel's size word is 0, so an empty list fails this test too.
  if (__builtin_expect(b->_blockSize < blockSize, 0)) {
    b = findFit<R>(h, blockSize);
    if (b == nullptr) return nullptr;
  }
  takeStep<R>(b, blockSize);
  size_t size = b->_blockSize;  // the flag of a block on the list is clear
  size_t remainder = size - blockSize;
  if (remainder < kMinBlockSize) {  // handed out whole
    unlinkFree(h, b, size);
    writeTags(b, size, kAllocatedBit);
    carveStep<R>(b, size, true);
    return payloadOf(b);
  }
  resizeFree(h, b, remainder);
  BlockHeader *n = blockAt(b, remainder);
  writeTags(n, blockSize, kAllocatedBit);  // n's _leftSize was written with the remainder's tags
  carveStep<R>(n, blockSize, false);
  return payloadOf(n);
}

// ---- Free and the merge ----

// Merges the block at once with its free neighbours, which its tags find
// without a search. Reads each size word once; a free block's is its size.
template <Road R = Road::kWatched>
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
    return mergeStep<R>(b, b, reinterpret_cast<char *>(right));
  }
  if (!rightFree) {  // left grows in place
    resizeFree(h, left, leftWord + size, right);
    return mergeStep<R>(left, b, reinterpret_cast<char *>(right));
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
  mergeStep<R>(merged, b,
               reinterpret_cast<char *>(right) + (rightWord < kFreeKept ? rightWord : kFreeKept));
}

// ---- The steps the entry points hand a request to ----
// The lock hand-off: each entry point takes the heap's lock and counts its
// call; allocateObject or freeObject, and every step they end in, releases
// the lock as its last act, on every path.

template <Road R = Road::kWatched>
[[gnu::always_inline]] inline void freeObject(const Heap &h, void *ptr) {
  freeBlock<R>(h, ptr);
  unlock<R>(h);
}

// The block size for a request length: header added, rounded up to
// kAlignment, at least kMinBlockSize; false if it does not fit in size_t.
template <Road R = Road::kWatched>
inline bool blockSizeFor(size_t size, size_t *blockSize) {
  // slackRoom: the heap check's room after the request; 0 without the check
  if (__builtin_add_overflow(size, kHeaderSize + kAlignment - 1 + slackRoomOn<R>(), blockSize))
    return false;
  *blockSize &= ~(kAlignment - 1);
  if (*blockSize < kMinBlockSize) *blockSize = kMinBlockSize;
  return true;
}

// No free block fits: grow by one chunk, whatever the request; its block
// heads the list and is the first fit the search meets.
[[gnu::noinline]] void *growAndAllocate(const Heap &h, size_t blockSize, size_t size) {
  void *p = nullptr;
  if (isSetUp()) {  // not only if the system refused the first chunk
    BlockHeader *fresh = getNewChunk(h);
    if (fresh != nullptr) {
      pushFront(h, fresh);
      p = tryAllocate(h, blockSize);
    }
  }
  if (p == nullptr) writeNoThrow(STDERR_FILENO, kNoMemoryMessage, sizeof kNoMemoryMessage - 1);
  if (p != nullptr) armStep(p, size);
  unlock(h);
  return p;
}

// A request of 0 bytes (errno untouched) or beyond the limit (ENOMEM) gets null.
[[gnu::noinline]] void *refuse(const Heap &h, size_t size) {
  if (size != 0) errno = ENOMEM;
  unlock(h);
  return nullptr;
}

[[gnu::noinline]] void *allocateFirst(const Heap &h, size_t size);  // MyMallocSetUp.inc

// Inline in the entry points: the common case is a set-up heap, a request
// within the limit and a fit on the list; the rest is out of line.
template <Road R = Road::kWatched>
[[gnu::always_inline]] inline void *allocateObject(const Heap &h, size_t size) {
  if (__builtin_expect(!isSetUp(), 0)) return allocateFirst(h, size);
  // Rounding up stays within the limit exactly when size <= kLargestRequest,
  // so this also refuses a size whose rounding would overflow.
  if (__builtin_expect(size - 1 >= kLargestRequest - slackRoomOn<R>(), 0)) return refuse(h, size);
  size_t blockSize;
  blockSizeFor<R>(size, &blockSize);  // size is within the limit: no overflow
  void *p = tryAllocate<R>(h, blockSize);
  if (__builtin_expect(p == nullptr, 0)) return growAndAllocate(h, blockSize, size);
  armStep<R>(p, size);
  unlock<R>(h);
  return p;
}

// The bytes a block holds.
[[maybe_unused]] size_t payloadSize(void *ptr) { return sizeOf(headerOf(ptr)) - kHeaderSize; }

}  // namespace

#include "MyMallocSetUp.inc"    // the one-time set-up, and the first request of all
#include "MyMallocAligned.inc"  // aligned blocks carved from the heap
#include "MyMallocReports.inc"  // print_list, print and the exit report

// ---- The entry points ----
// Each takes the lock, counts its call and hands the request on (the lock
// hand-off above). The preload library (MyMallocPreload.cc) defines this switch and brings
// entry points of its own; everything above is its heap.
#ifndef MYMALLOC_PRELOAD
namespace {

// malloc and free, the busiest, take the plain road once the check is off
// (roadNow, MyMallocCheck.inc): the same steps with no hook to test, and the
// watched road out of line. caller: the entry point's caller, for a report.
template <Road R>
[[gnu::always_inline]] inline void *mallocBy(size_t size, void *caller) {
  lock<R>(firstHeap, "malloc", nullptr, caller);
  increaseMallocCalls();
  return allocateObject<R>(firstHeap, size);
}
template <Road R>
[[gnu::always_inline]] inline void freeBy(void *ptr, void *caller) {
  lock<R>(firstHeap, "free", ptr, caller);
  increaseFreeCalls();
  if (ptr == nullptr) return unlock<R>(firstHeap);
  freeObject<R>(firstHeap, ptr);
}
[[gnu::cold, gnu::noinline]] void *mallocWatched(size_t size, void *caller) {
  return mallocBy<Road::kWatched>(size, caller);
}
[[gnu::cold, gnu::noinline]] void freeWatched(void *ptr, void *caller) {
  freeBy<Road::kWatched>(ptr, caller);
}

}  // namespace

extern "C" {

void *malloc(size_t size) noexcept {
  if (__builtin_expect(roadNow() == Road::kWatched, 0))
    return mallocWatched(size, __builtin_return_address(0));
  return mallocBy<Road::kPlain>(size, nullptr);
}

void free(void *ptr) noexcept {
  if (__builtin_expect(roadNow() == Road::kWatched, 0))
    return freeWatched(ptr, __builtin_return_address(0));
  freeBy<Road::kPlain>(ptr, nullptr);
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
