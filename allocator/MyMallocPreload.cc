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

#include "MyMallocLarge.inc"        // mapped large blocks
#include "MyMallocArenas.inc"       // a heap per set of threads, and blocks returned to it
#include "MyMallocThreadCache.inc"  // the per-thread cache
#include "MyMallocThreads.inc"      // a thread's arena, cache and counts, and its calls' roads
#include "MyMallocInfo.inc"         // mallinfo2, malloc_stats, malloc_info, malloc_trim

namespace {

// Realloc in place: the heap block b, held by the caller, takes blockSize
// bytes where it stands if it can. A shrinking block gives its tail back to
// the heap when the tail can be a block; a growing one takes what it needs
// from a free right neighbour, splitting it or taking it whole. With the
// lock held; false if the block must move.
bool resizeInPlace(const Heap &h, BlockHeader *b, size_t blockSize) {
  size_t size = sizeOf(b);
  if (blockSize <= size) {
    size_t tail = size - blockSize;
    if (tail >= kMinBlockSize) {
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

// The bytes the block at ptr holds.
size_t usableSize(void *ptr) {
  BlockHeader *h = headerOf(ptr);
  return (isMapped(h) ? mappedSize(h) : sizeOf(h)) - kHeaderSize;
}

// Moves the block to a new one of size bytes, copying what both hold.
void *moveBlock(void *ptr, size_t size) {
  void *fresh =
      size >= mapThresholdNow() ? mapBlock(size, kAlignment, 0) : takeBlock(size, kUncounted);
  if (fresh == nullptr) return nullptr;
  size_t old = usableSize(ptr);
  memcpy(fresh, ptr, size < old ? size : old);
  // Straight back to the heap, not into the cache: a block that grows is
  // seldom followed by a request of its old size, and the heap can merge it.
  BlockHeader *h = headerOf(ptr);
  if (isMapped(h)) return unmapBlock(h), fresh;
  freeToArena(arenaFor(&threadCache), ptr);
  return fresh;
}

void *reallocBlock(void *ptr, size_t size) {
  if (ptr == nullptr) return takeBlock(size, kReallocCall);
  if (size == 0) {
    giveBlock(ptr, kReallocCall);
    return nullptr;
  }
  countCall(kReallocCall);
  BlockHeader *h = headerOf(ptr);
  bool large = size >= mapThresholdNow();
  if (isMapped(h)) {
    if (!large) return moveBlock(ptr, size);
    Span s;
    return remapBlock(ptr, size, spanOf(h, &s) ? s.heap : 0);
  }
  size_t blockSize;
  if (!large && blockSizeFor(size, &blockSize)) {  // in place, under the lock of the block's arena
    const Heap &heap = arenaOfBlock(ptr).heap;
    lock(heap);
    bool stays = resizeInPlace(heap, h, blockSize);
    unlock(heap);
    if (stays) return ptr;
  }
  return moveBlock(ptr, size);
}

void *callocBlock(size_t count, size_t size) {
  size_t length;
  if (__builtin_mul_overflow(count, size, &length)) length = SIZE_MAX;  // refused as too large
  void *p = takeBlock(length, kCallocCall);
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

// With the heap check on, each call's checks run first, under the lock; the
// cache is then off and arena 0 the only one, so every block the call
// touches is a checked one.
// Inline, so that the check names the entry point's caller.
[[gnu::always_inline]] inline void checkCall(const char *call, void *given = nullptr) {
  if (__builtin_expect(checkIsWanted(), 0)) {
    lock(firstHeap, call, given);
    unlock(firstHeap);
  }
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

}  // namespace

extern "C" {

void *malloc(size_t size) noexcept {
  checkCall("malloc");
  return takeBlock(size, kMallocCall);
}

void free(void *ptr) noexcept {
  checkCall("free", ptr);
  giveBlock(ptr, kFreeCall);
}

void *realloc(void *ptr, size_t size) noexcept {
  checkCall("realloc", ptr);
  return reallocBlock(ptr, size);
}

void *calloc(size_t count, size_t size) noexcept {
  checkCall("calloc");
  return callocBlock(count, size);
}

void *aligned_alloc(size_t alignment, size_t size) noexcept {
  checkCall("aligned_alloc");
  return alignedBlock(roundedAlignment(alignment), size);
}

void *memalign(size_t alignment, size_t size) noexcept {
  checkCall("memalign");
  return alignedBlock(roundedAlignment(alignment), size);
}

int posix_memalign(void **memptr, size_t alignment, size_t size) noexcept {
  checkCall("posix_memalign");
  int saved = errno;
  errno = 0;
  void *p = alignedBlock(posixAlignment(alignment), size);
  return posixResult(memptr, p, saved);
}

void *valloc(size_t size) noexcept {
  checkCall("valloc");
  return alignedBlock(getpagesize(), size);
}

void *pvalloc(size_t size) noexcept {
  checkCall("pvalloc");
  return alignedBlock(getpagesize(), pageRounded(size));
}

size_t malloc_usable_size(void *ptr) noexcept { return ptr == nullptr ? 0 : usableSize(ptr); }

}  // extern "C"
