// libmymalloc.so: MyMalloc as a library that takes libc's place in any dynamically linked
// program (LD_PRELOAD). Its heap is the classic one of MyMalloc.cc, with 16-byte
// alignment; in front of it stand entry points of its own: a per-thread cache of small
// freed blocks, large blocks mapped on their own, realloc in place, glibc's leniencies
// (a block for malloc(0), any alignment rounded up to a power of two), and the settings
// of MyMallocOptions.inc. docs/allocator.md describes it.

// The switch: 16-byte alignment and mapped blocks in the layout, and the core's
// entry points left out; the ones below take their place.
#ifndef MYMALLOC_PRELOAD
#define MYMALLOC_PRELOAD 1
#endif
#include "MyMalloc.cc"

#include <malloc.h>
#include <sys/auxv.h>

#include "MyMallocLarge.inc"        // mapped large blocks
#include "MyMallocArenas.inc"       // a heap per set of threads, and blocks returned to it
#include "MyMallocThreadCache.inc"  // the per-thread cache
#include "MyMallocLookaside.inc"    // the heap check's stand-in for it
#include "MyMallocThreads.inc"      // a thread's arena, cache and counts
#include "MyMallocRoads.inc"        // its calls' roads through its cache to its arena
#include "MyMallocInfo.inc"         // mallinfo2, malloc_stats, malloc_info, malloc_trim
#include "MyMallocTrace.inc"        // MYMALLOC_TRACE: every call recorded

namespace {

// Realloc in place: the heap block g, held by the caller, takes blockSize
// bytes where it stands if it can. A shrinking block gives its tail back to
// the heap when the tail can be a block; a growing one takes what it needs
// from a free right neighbour, splitting it or taking it whole. That
// neighbour is checked (for caller's report) only where it is followed: a
// check of its links is two reads in other blocks. With the lock held; false
// if the block must move.
bool resizeInPlace(const Heap &h, const Given &g, size_t blockSize, void *caller) {
  BlockHeader *b = g.h;
  size_t size = g.size;
  if (blockSize <= size) {
    size_t tail = size - blockSize;
    if (tail >= kMinBlockSize) {
      checkResizeNeighbour(g, "realloc", caller);
      BlockHeader *t = blockAt(b, blockSize);
      writeTags(t, tail, kAllocatedBit);
      writeTags(b, blockSize, kAllocatedBit);
      freeBlock(h, payloadOf(t));  // merges with a free right neighbour
    }
    return true;
  }
  BlockHeader *right = blockAt(b, size);
  size_t rightWord = right->_blockSize;  // a free block's word is its size
  if ((rightWord & kAllocatedBit) != 0 || size + rightWord < blockSize) return false;
  checkResizeNeighbour(g, "realloc", caller);
  size_t whole = size + rightWord;
  unlinkFree(h, right, rightWord);  // before the new block's header overwrites its links
  if (whole - blockSize >= kMinBlockSize) {
    BlockHeader *rest = blockAt(b, blockSize);
    writeTags(rest, whole - blockSize, 0);
    pushFront(h, rest);
    whole = blockSize;
  }
  writeTags(b, whole, kAllocatedBit);
  return true;
}

// The bytes the block at ptr holds (under the heap check, the bytes asked for).
size_t usableSize(void *ptr) {
  BlockHeader *h = headerOf(ptr);
  return usableBytes(ptr, (isMapped(h) ? mappedSize(h) : sizeOf(h)) - kHeaderSize);
}

// Moves the block to a new one of size bytes, copying what both hold.
// caller: the program's call, for a report.
// g: the block, accepted already.
void *moveBlock(void *ptr, size_t size, void *caller, const Given &g) {
  void *fresh =
      size >= mapThresholdNow() ? mapBlock(size, kAlignment, 0) : takeBlock(size, kUncounted, caller);
  if (fresh == nullptr) return nullptr;
  size_t old = usableSize(ptr);
  memcpy(fresh, ptr, size < old ? size : old);
  // Straight back to the heap, not into the cache: a block that grows is
  // seldom followed by a request of its old size, and the heap can merge it.
  if (isMapped(g.h)) return unmapBlock(g.h), fresh;
  freeToArena(arenaFor(&threadCache), g, "realloc", nullptr);
  return fresh;
}

// caller: the program's call, for a report. A block given back is checked
// as free checks it. Under the heap check (and until its setting is read) a
// block always moves, so that its slack is laid out afresh.
void *reallocBlock(void *ptr, size_t size, void *caller) {
  if (ptr == nullptr) return takeBlock(size, kReallocCall, caller);
  if (size == 0) {
    giveBlock(ptr, kReallocCall, caller);
    return nullptr;
  }
  Given g = acceptBlock(ptr, "realloc", caller);
  countCall(kReallocCall);
  BlockHeader *h = g.h;
  bool large = size >= mapThresholdNow();
  bool inPlace = slackRoomNow() == 0;  // under the heap check a block always moves
  if (isMapped(h)) {
    if (!large || !inPlace) return moveBlock(ptr, size, caller, g);
    return remapBlock(ptr, size, g.span.heap);
  }
  size_t blockSize;
  if (!large && inPlace && blockSizeFor(size, &blockSize)) {  // in place, under the lock of the block's arena
    const Heap &heap = arenas[g.span.heap].heap;  // the block's arena
    lock(heap);
    bool stays = resizeInPlace(heap, g, blockSize, caller);
    unlock(heap);
    if (stays) return ptr;
  }
  return moveBlock(ptr, size, caller, g);
}

void *callocBlock(size_t count, size_t size) {
  size_t length;
  if (__builtin_mul_overflow(count, size, &length)) length = SIZE_MAX;  // refused as too large
  void *p = takeBlock(length, kCallocCall, __builtin_return_address(0));
  if (p != nullptr && !isMapped(headerOf(p))) memset(p, 0, length);  // a new mapping is zero
  return p;
}

// glibc's memalign and aligned_alloc take any alignment, rounded up to a
// power of two.
size_t roundedAlignment(size_t alignment) {
  if (alignment <= 1) return 1;
  if (alignment > (SIZE_MAX >> 1) + 1) return alignment;  // refused: no power of two
  return size_t{1} << (64 - __builtin_clzll(alignment - 1));
}

// The aligned calls: counted as a malloc; an alignment that is no power of
// two gets EINVAL and null; a large block, or one of a large alignment, is
// mapped on its own; a size of 0 gets the smallest block.
void *alignedBlock(size_t alignment, size_t size) {
  cacheForAllocation();  // sets the thread up
  countCall(kMallocCall);
  if (!isPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  Arena &a = arenaFor(&threadCache);
  if (size >= mapThresholdNow() || alignment >= mapThresholdNow())
    return mapBlock(size, alignment < kAlignment ? kAlignment : alignment, a.heap.number);
  lockToAllocate(a);
  return allocateAlignedObject(a.heap, alignment, size == 0 ? 1 : size);
}

// With the heap check on, each call's own checks run first, under the lock;
// the cache is then off and arena 0 the only one, so every block the call
// touches is a checked one. The operation's checks (the head of the free
// list, the walk when due) run where it takes the lock, once per operation.
// Only the test is inline: the check's road is a call of its own, so that an
// entry point saves no registers for it when the check is off. caller: the
// entry point's caller, for a report.
[[gnu::cold, gnu::noinline]] void checkCallSlow(const char *call, void *caller, void *given) {
  if (!__libc_single_threaded) pthread_mutex_lock(firstHeap.lock);
  if (checkIsWanted() && checkingNow()) checkTheCall(call, caller, given);
  if (!__libc_single_threaded) pthread_mutex_unlock(firstHeap.lock);
}
[[gnu::always_inline]] inline void checkCall(const char *call, void *caller, void *given = nullptr) {
  if (__builtin_expect(checkIsWanted(), 0)) checkCallSlow(call, caller, given);
}

// In the child of fork: the other threads are gone, and with them the use of
// their caches and arenas.
void childAfterFork() {
  forgetOtherThreads();
  unlockAllAfterFork();
}

// The hooks that initialize() registers in the compiled-in build; verbose
// tells it that they are registered here. The constructor runs before main,
// whenever the first allocation came.
[[gnu::constructor]] void registerHooks() {
  verbose = 1;
  pthread_atfork(lockAllForFork, unlockAllAfterFork, childAfterFork);
}

// What every heap obtained from the system.
size_t allHeapsSize() {
  size_t total = 0;
  for (unsigned k = 0, heaps = heapsNow(); k < heaps; k++) total += *heapList[k]->size;
  return total;
}

// The statistics (with MYMALLOC_STATS=1, on standard error, counting the
// calls that running threads' caches hold too) and the exit check, after
// the program's own exit handlers.
[[gnu::destructor]] void atUnload() {
  foldAllCalls();
  if (optionNumber(kOptionStats) != 0) printStats(stderr, allHeapsSize());
  checkAtExit();
}

// The watched roads of the busiest entry points: the heap check's and the
// recording's work around the call, out of line, so that with both off an
// entry point is one test in front of its cache's fast path and saves no
// registers. caller: the entry point's caller.
[[gnu::cold, gnu::noinline]] void *mallocWatched(size_t size, void *caller) {
  checkCall("malloc", caller);
  void *p = takeBlock(size, kMallocCall, caller);
  traceCall(trace::kMalloc, size, 0, nullptr, p, caller);
  return p;
}
[[gnu::cold, gnu::noinline]] void freeWatched(void *ptr, void *caller) {
  checkCall("free", caller, ptr);
  traceCall(trace::kFree, 0, 0, ptr, nullptr, caller);
  giveBlock(ptr, kFreeCall, caller);
}
[[gnu::cold, gnu::noinline]] void *reallocWatched(void *ptr, size_t size, void *caller) {
  checkCall("realloc", caller, ptr);
  uint64_t before = traceBefore();
  void *p = reallocBlock(ptr, size, caller);
  traceCall(trace::kRealloc, size, before, ptr, p, caller);
  return p;
}

// Whether the heap check or the recording may want an entry point's call:
// one byte for both.
[[gnu::always_inline]] inline bool callWatched() {
  return __atomic_load_n(&callsWatched, __ATOMIC_RELAXED) != 0;
}

}  // namespace

extern "C" {

// Each records its call (traceCall, MyMallocTrace.inc): free before it hands the block
// back, the others once they have their block.

void *malloc(size_t size) noexcept {
  if (__builtin_expect(callWatched(), 0)) return mallocWatched(size, __builtin_return_address(0));
  return takeBlock(size, kMallocCall, nullptr);
}

void free(void *ptr) noexcept {
  if (__builtin_expect(callWatched(), 0)) return freeWatched(ptr, __builtin_return_address(0));
  giveBlock(ptr, kFreeCall, nullptr);
}

void *realloc(void *ptr, size_t size) noexcept {
  if (__builtin_expect(callWatched(), 0)) return reallocWatched(ptr, size, __builtin_return_address(0));
  return reallocBlock(ptr, size, __builtin_return_address(0));
}

void *calloc(size_t count, size_t size) noexcept {
  checkCall("calloc", __builtin_return_address(0));
  void *p = callocBlock(count, size);
  traceCall(trace::kCalloc, count, size, nullptr, p, __builtin_return_address(0));
  return p;
}

void *aligned_alloc(size_t alignment, size_t size) noexcept {
  checkCall("aligned_alloc", __builtin_return_address(0));
  void *p = alignedBlock(roundedAlignment(alignment), size);
  traceCall(trace::kAlignedAlloc, size, alignment, nullptr, p, __builtin_return_address(0));
  return p;
}

void *memalign(size_t alignment, size_t size) noexcept {
  checkCall("memalign", __builtin_return_address(0));
  void *p = alignedBlock(roundedAlignment(alignment), size);
  traceCall(trace::kMemalign, size, alignment, nullptr, p, __builtin_return_address(0));
  return p;
}

int posix_memalign(void **memptr, size_t alignment, size_t size) noexcept {
  checkCall("posix_memalign", __builtin_return_address(0));
  int saved = errno;
  errno = 0;
  void *p = alignedBlock(posixAlignment(alignment), size);
  int result = posixResult(memptr, p, saved);
  traceCall(trace::kPosixMemalign, size, alignment, nullptr, result == 0 ? p : nullptr,
            __builtin_return_address(0));
  return result;
}

void *valloc(size_t size) noexcept {
  checkCall("valloc", __builtin_return_address(0));
  void *p = alignedBlock(getpagesize(), size);
  traceCall(trace::kValloc, size, getpagesize(), nullptr, p, __builtin_return_address(0));
  return p;
}

void *pvalloc(size_t size) noexcept {
  checkCall("pvalloc", __builtin_return_address(0));
  void *p = alignedBlock(getpagesize(), pageRounded(size));
  traceCall(trace::kPvalloc, size, getpagesize(), nullptr, p, __builtin_return_address(0));
  return p;
}

size_t malloc_usable_size(void *ptr) noexcept {
  if (ptr == nullptr) return 0;
  acceptBlock(ptr, "malloc_usable_size", __builtin_return_address(0));
  return usableSize(ptr);
}

}  // extern "C"
