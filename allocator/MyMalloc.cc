// MyMalloc: boundary-tag allocator over 2 MiB sbrk chunks, one circular free
// list, first fit from the high end of the block it splits, one mutex.
//
// Nothing on the allocation and free paths may allocate: no stdio, no C++
// library. Only the two reports use printf, and they run without the lock.
//
// Built with -DMYMALLOC_PRELOAD, the same source is libmymalloc.so, which
// takes libc's place in any program through LD_PRELOAD: 16-byte payloads, a
// chunk of its own for a request beyond one chunk, a block for malloc(0),
// and the statistics on standard error only when MYMALLOC_STATS=1.

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

namespace {

char verbose;  // set by the one-time set-up; the exit report is printed while set

#ifdef MYMALLOC_PRELOAD
constexpr bool kPreload = true;
#else
constexpr bool kPreload = false;
#endif

// MYMALLOC_CHECK=N: the heap is walked before and after every Nth operation
// (one call of lock(); see the heap check section below). kCheckUnread until
// the environment has been read; 0 when no check is wanted.
constexpr int kCheckUnread = -1;
int checkPeriod = kCheckUnread;
bool checkAfterThis;  // the operation under way walks the heap again when it ends
void checkOnLock();
void checkOnUnlock();

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
[[gnu::always_inline]] inline void lock() {
  if (!__libc_single_threaded) pthread_mutex_lock(&mutex);
  if (__builtin_expect(checkPeriod != 0, 0)) checkOnLock();
}
[[gnu::always_inline]] inline void unlock() {
  if (__builtin_expect(checkAfterThis, 0)) checkOnUnlock();
  if (!__libc_single_threaded) pthread_mutex_unlock(&mutex);
}

// What the searches that the head did not serve cost: blocks read (the head
// included) and index nodes stepped through. For the benchmark.
unsigned long long slowSearches, searchVisits, indexSteps;

#ifndef MYMALLOC_PLAIN_WALK
// The size index: finds "the first block in list order that fits" without
// walking the list. Blocks enter the list only at its head or by taking a
// listed neighbour's place, and a block that changes size keeps its place, so
// list order is the order in which places were first listed, newest first.
// Each place gets a position when it is first listed (pushFront), one above
// the last, and keeps it through every resize and every takePlace; the first
// fit is then the fitting block in the highest position. A tree over the
// positions holds in each node the largest size below it, so that the search
// finds the highest position whose size fits in O(log n) steps for n
// positions (fewer when the fit was listed recently; see indexFit).
//
// A position's size in the tree is never below its block's size, but may be
// above it: a block that shrinks leaves its old size behind, and one that
// leaves the list leaves its position empty with its size still there. The
// search reads the block it lands on; if the position is empty or the block
// does not fit after all, the leaf gets its true size (0 when empty) and the
// search runs again. Each such miss pays for a change the tree was spared, so
// a block carved again and again, or taken off the list, costs the tree
// nothing at the time.
//
// Positions are never reused: when they run out, the listed blocks are
// numbered afresh in list order (and the arrays doubled if more than half
// are in use), a cost of O(n) once every n/2 or more listings.
//
// The tree and placeOf live beside the heap, in memory of its own from mmap,
// so the heap's layout and _heapSize stay as they are. A listed block larger
// than kMinBlockSize keeps its position in the spare word after its links
// (kPositionOffset), which no one else reads while the block is free; a
// 32-byte block has no spare bytes, so a hash table beside the heap maps its
// address to its position. A block moves between the two when its size
// crosses kMinBlockSize. If the system refuses the index memory, the index is
// dropped and the search walks the list.
size_t *largest;             // the tree: node i has children 2i and 2i+1; leaf p at positions + p
BlockHeader **placeOf;       // the block at each position, null once it left the list
struct Slot {                // of the hash table: a listed block and its position
  const BlockHeader *block;  // null: an empty slot
  uint32_t position;
};
Slot *slots;            // linear probing; only blocks of kMinBlockSize are here
uint32_t positions;     // a power of two; the hash table has twice as many slots
uint32_t nextPosition;  // the position the next listing takes
uint32_t placed;        // blocks in the index: every listed block
uint32_t hashed;        // of them, those in the hash table
unsigned slotShift;     // 64 less log2 of the slots
// The block last listed or grown (never one of kMinBlockSize) and its size in
// the tree: a block that grows again within that size needs no index work.
BlockHeader *recentBlock;
size_t recentBound;
bool indexLost;  // the system refused index memory: search by walking

constexpr uint32_t kFirstPositions = 1024;
// The blocks after the head that a search reads before it asks the size
// index: a fit among them costs a few loads instead of a tree search, and
// more of them would cost a dependent load each on a search that goes on.
constexpr size_t kShortWalk = 4;
// Where a free block larger than kMinBlockSize keeps its position: right
// after its links, within its first kMinBlockSize + kAlignment bytes.
constexpr size_t kPositionOffset = sizeof(BlockHeader);
static_assert(kPositionOffset + sizeof(uint32_t) <= kMinBlockSize + kAlignment);
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

size_t indexBytes(uint32_t n) {
  return n * (2 * sizeof(size_t) + sizeof(BlockHeader *) + 2 * sizeof(Slot));
}

// Drops the index for good; the search walks the list from now on.
void loseIndex() {
  indexLost = true;
  recentBlock = nullptr;
}

// Sets the size at position p and the largest sizes above it. A larger size
// climbs until it meets a node as large; a smaller one recomputes the nodes
// whose largest size was the old one.
void setSize(uint32_t p, size_t size) {
  uint32_t i = positions + p;
  size_t old = largest[i];
  largest[i] = size;
  if (size > old) {
    for (i >>= 1; i != 0 && largest[i] < size; i >>= 1) largest[i] = size;
    return;
  }
  for (i >>= 1; i != 0 && largest[i] == old; i >>= 1) {
    size_t m = largest[2 * i] > largest[2 * i + 1] ? largest[2 * i] : largest[2 * i + 1];
    if (m == old) break;  // the other side holds the old size too
    largest[i] = m;
  }
}

// Fibonacci hashing: the top bits of the address times 2^64 / phi, so that
// blocks at regular distances spread over the whole table.
uint32_t homeOf(const BlockHeader *b) {
  return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(b) * kGolden) >> slotShift);
}

// The slot holding b's position, or the empty slot where it would go.
uint32_t slotOf(const BlockHeader *b) {
  uint32_t mask = 2 * positions - 1;
  uint32_t i = homeOf(b);
  while (slots[i].block != nullptr && slots[i].block != b) i = (i + 1) & mask;
  return i;
}

uint32_t *spareWord(BlockHeader *b) {
  return reinterpret_cast<uint32_t *>(reinterpret_cast<char *>(b) + kPositionOffset);
}

// Enters b, of the given size, into the hash table at position p, or writes
// p into its spare word.
void notePosition(BlockHeader *b, size_t size, uint32_t p) {
  if (size > kMinBlockSize) {
    *spareWord(b) = p;
    return;
  }
  slots[slotOf(b)] = Slot{b, p};
  hashed++;
}

// The position of the listed block b, of the given size; a block of
// kMinBlockSize leaves the hash table.
uint32_t takePosition(BlockHeader *b, size_t size) {
  if (size > kMinBlockSize) return *spareWord(b);
  uint32_t mask = 2 * positions - 1;
  uint32_t i = slotOf(b);
  uint32_t p = slots[i].position;
  for (uint32_t j = (i + 1) & mask; slots[j].block != nullptr; j = (j + 1) & mask) {
    uint32_t home = homeOf(slots[j].block);
    // slots[j] may move back to i unless its home lies cyclically in (i, j].
    if ((j > i && (home <= i || home > j)) || (j < i && home <= i && home > j)) {
      slots[i] = slots[j];
      i = j;
    }
  }
  slots[i].block = nullptr;
  hashed--;
  return p;
}

// Numbers the placed blocks afresh, keeping their order and their sizes in
// the tree, into arrays of n positions (the same arrays if n is unchanged).
// False if the system refuses the memory.
bool renumber(uint32_t n) {
  size_t *oldLargest = largest;
  BlockHeader **oldPlaceOf = placeOf;
  uint32_t old = positions;
  if (n != old) {
    int saved = errno;  // the caller's errno is not the index's business
    void *p =
        mmap(nullptr, indexBytes(n), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    errno = saved;
    if (p == MAP_FAILED) return false;
    largest = static_cast<size_t *>(p);
    placeOf = reinterpret_cast<BlockHeader **>(largest + 2 * n);
    slots = reinterpret_cast<Slot *>(placeOf + n);
  }
  uint32_t k = 0;  // k <= p, so the same arrays may be compacted in place
  for (uint32_t p = 0; p < old; p++) {
    if (oldPlaceOf[p] == nullptr) continue;
    placeOf[k] = oldPlaceOf[p];
    largest[n + k++] = oldLargest[old + p];
  }
  if (n == old) {
    for (uint32_t p = k; p < n; p++) {
      placeOf[p] = nullptr;
      largest[n + p] = 0;
    }
    memset(static_cast<void *>(slots), 0, 2 * static_cast<size_t>(n) * sizeof(Slot));
  } else if (oldLargest != nullptr) {
    int saved = errno;
    munmap(oldLargest, indexBytes(old));
    errno = saved;
  }
  positions = n;
  slotShift = static_cast<unsigned>(__builtin_clzll(2 * static_cast<uint64_t>(n))) + 1;
  nextPosition = k;
  hashed = 0;
  for (uint32_t p = 0; p < k; p++) notePosition(placeOf[p], placeOf[p]->_blockSize, p);
  for (uint32_t i = n - 1; i != 0; i--)
    largest[i] = largest[2 * i] > largest[2 * i + 1] ? largest[2 * i] : largest[2 * i + 1];
  return true;
}

// b, at position p, now has its present size; it becomes the recent block
// unless it is of kMinBlockSize, whose growth always moves its position.
inline void grewAt(BlockHeader *b, uint32_t p) {
  size_t size = b->_blockSize;
  if (largest[positions + p] < size) setSize(p, size);
  recentBlock = size > kMinBlockSize ? b : nullptr;
  recentBound = largest[positions + p];
}

// A place enters the list: b, at the head, takes the next position. When
// none is left, the others are numbered afresh first, into twice as many
// positions if more than half are in use: O(n) once every n/2 listings.
[[gnu::noinline]] void indexAdd(BlockHeader *b) {
  if (indexLost) return;
  if (nextPosition == positions) {
    uint32_t n = positions == 0 ? kFirstPositions : positions;
    while (n <= UINT32_MAX / 4 && placed + 1 > n / 2) n *= 2;
    if (placed + 1 > n / 2 || !renumber(n)) return loseIndex();
  }
  uint32_t p = nextPosition++;
  placeOf[p] = b;
  notePosition(b, b->_blockSize, p);
  placed++;
  grewAt(b, p);
}

// b, of the given size, leaves the list; its position stays empty, its size
// in the tree until a search lands there.
[[gnu::noinline]] void indexRemove(BlockHeader *b, size_t size) {
  if (indexLost) return;
  placeOf[takePosition(b, size)] = nullptr;
  placed--;
  if (b == recentBlock) recentBlock = nullptr;
}

// b, still listed, has grown from the old size.
[[gnu::noinline]] void indexGrow(BlockHeader *b, size_t old) {
  if (indexLost) return;
  uint32_t p = takePosition(b, old);
  if (old == kMinBlockSize) notePosition(b, b->_blockSize, p);  // into its spare word
  grewAt(b, p);
}

// b, still listed, has shrunk from more than kMinBlockSize to it: its
// position moves from its spare word to the hash table.
[[gnu::noinline]] void indexShrinkToMin(BlockHeader *b, size_t old) {
  if (indexLost || old == kMinBlockSize) return;
  notePosition(b, kMinBlockSize, *spareWord(b));
  if (b == recentBlock) recentBlock = nullptr;
}

// b takes old, of the given size, off the list, and with it old's position.
[[gnu::noinline]] void indexMove(BlockHeader *old, size_t oldSize, BlockHeader *b) {
  if (indexLost) return;
  uint32_t p = takePosition(old, oldSize);
  placeOf[p] = b;
  notePosition(b, b->_blockSize, p);
  grewAt(b, p);
}

// The fitting block in the highest position, or null; the head has been
// looked at and does not fit. Counts what it reads. The search starts at the
// newest position and climbs only as far as the nearest fitting subtree to
// its left, so a fit listed recently costs few steps whatever the tree's size.
// A position that misses (empty, or its block shrank) gets its true size, and
// the search goes on to the left of it.
BlockHeader *indexFit(size_t blockSize) {
  if (nextPosition == 0 || largest[1] < blockSize) return nullptr;
  uint32_t i = positions + nextPosition - 1;  // the leaves above it are empty
  for (;;) {
    if (largest[i] < blockSize) {
      // Up to the nearest left sibling that holds a fit, then down to its
      // highest fitting leaf, the right child first: it was listed later.
      while ((i & 1) == 0 || largest[i - 1] < blockSize) {
        i >>= 1;
        indexSteps++;
        if (i <= 1) return nullptr;
      }
      for (i--; i < positions; indexSteps++) {
        i = 2 * i + 1;
        if (largest[i] < blockSize) i--;
      }
    }
    uint32_t p = i - positions;
    BlockHeader *b = placeOf[p];
    size_t size = 0;  // an empty position's
    if (b != nullptr) {
      searchVisits++;
      size = b->_blockSize;
      if (size >= blockSize) return b;
      if (b == recentBlock) recentBound = size;
    }
    setSize(p, size);  // the tree learns the true size
  }
}
#endif

// The free list's primitives. Every change to the list, and every change of
// a listed block's size, goes through these four, which keep the index.

// Puts b, its size set, at the head of the free list, right after the sentinel.
void pushFront(BlockHeader *b) {
  BlockHeader *head = _freeListSentinel._nextFree;
  b->_nextFree = head;
  b->_prevFree = &_freeListSentinel;
  head->_prevFree = b;
  _freeListSentinel._nextFree = b;
#ifndef MYMALLOC_PLAIN_WALK
  indexAdd(b);
#endif
}

// b, of the given size, leaves the list.
void unlinkFree(BlockHeader *b, [[maybe_unused]] size_t size) {
  b->_nextFree->_prevFree = b->_prevFree;
  b->_prevFree->_nextFree = b->_nextFree;
#ifndef MYMALLOC_PLAIN_WALK
  indexRemove(b, size);
#endif
}

// A listed block's new size; it keeps its place. Growth concerns the index
// unless the block stays within its size there, and so does a size crossing
// kMinBlockSize, which moves the block's position in or out of its spare word.
inline void resizeFree(BlockHeader *b, size_t size) {
  [[maybe_unused]] size_t old = b->_blockSize;
  b->_blockSize = size;
#ifndef MYMALLOC_PLAIN_WALK
  if (size > old) {
    if (b != recentBlock || size > recentBound) indexGrow(b, old);
  } else if (size == kMinBlockSize) {
    indexShrinkToMin(b, old);
  }
#endif
}

// b, not listed, takes the listed block old's place, with the given size.
void takePlace(BlockHeader *old, BlockHeader *b, size_t size) {
  [[maybe_unused]] size_t oldSize = old->_blockSize;
  BlockHeader *next = old->_nextFree;
  BlockHeader *prev = old->_prevFree;
  b->_nextFree = next;
  b->_prevFree = prev;
  next->_prevFree = b;
  prev->_nextFree = b;
  b->_blockSize = size;
#ifndef MYMALLOC_PLAIN_WALK
  indexMove(old, oldSize, b);
#endif
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

// Someone else may have moved the break by an odd amount; chunks must start
// on kAlignment for their payloads to be aligned.
void alignBreak() {
  auto end = reinterpret_cast<uintptr_t>(sbrk(0));
  if (end % kAlignment != 0) sbrk(static_cast<intptr_t>(kAlignment - end % kAlignment));
}

// Extends the heap by n bytes. Returns the new memory, or null if the system
// refuses; a refused request is not counted in _heapSize.
void *getMemoryFromOS(size_t n) {
  if (kPreload) alignBreak();
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
// The preload library registers them from its constructor instead: its first
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

// The first block in list order that fits, after the head, which does not.
// Null if none fits.
[[gnu::noinline]] BlockHeader *findFit(size_t blockSize) {
  slowSearches++;
  searchVisits++;  // the head
  // A few blocks after the head first: most fits are among them, and each
  // costs far less than a search of the index. Without the index, the walk
  // goes on to the end.
#ifdef MYMALLOC_PLAIN_WALK
  size_t steps = SIZE_MAX;
#else
  size_t steps = indexLost ? SIZE_MAX : kShortWalk;
#endif
  BlockHeader *b = _freeListSentinel._nextFree->_nextFree;
  for (; b != &_freeListSentinel && steps-- != 0; b = b->_nextFree) {
    searchVisits++;
    if (b->_blockSize >= blockSize) return b;  // the flag of a block on the list is clear
  }
  BlockHeader *fit = nullptr;
#ifndef MYMALLOC_PLAIN_WALK
  if (b != &_freeListSentinel) fit = indexFit(blockSize);
#endif
  if (fit == nullptr) searchVisits++;  // the heap grows, and its fresh block fits
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

void *allocateLarge(size_t size);
inline void *allocateObject(size_t size);

// A request of 0 bytes (errno untouched) or beyond the limit (ENOMEM).
// Entered with mutex held; releases it and returns null. The preload library
// serves both instead: the smallest block, or a chunk of the block's own.
[[gnu::noinline]] void *refuse(size_t size) {
  if (kPreload) return size == 0 ? allocateObject(1) : allocateLarge(size);
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
  if (__builtin_expect(size - 1 >= kLargestRequest, 0)) return refuse(size);
  size_t blockSize;
  blockSizeFor(size, &blockSize);  // size is within the limit: no overflow

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
    h->_blockSize = size;
    pushFront(h);
    unlock();
    return;
  }
  if (!rightFree) {  // left grows where it stands
    size += leftWord;
    resizeFree(left, size);
    right->_leftSize = size;
    unlock();
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

#ifndef MYMALLOC_PLAIN_WALK
// Whether the tree's inner nodes hold the largest size below them and the
// recent block is where the index says; counts the blocks placed.
bool indexTreeHolds(size_t *count) {
  *count = 0;
  for (uint32_t i = 1; i < positions; i++) {
    size_t m = largest[2 * i] > largest[2 * i + 1] ? largest[2 * i] : largest[2 * i + 1];
    if (largest[i] != m) return false;
  }
  for (uint32_t p = 0; p < positions; p++)
    if (placeOf[p] != nullptr) ++*count;
  uint32_t inTable = 0;
  for (uint32_t i = 0; i < 2 * positions; i++)
    if (slots[i].block != nullptr) inTable++;
  return *count == placed && inTable == hashed && nextPosition <= positions &&
         (recentBlock == nullptr ||
          (recentBlock->_blockSize > kMinBlockSize && *spareWord(recentBlock) < positions &&
           placeOf[*spareWord(recentBlock)] == recentBlock &&
           largest[positions + *spareWord(recentBlock)] == recentBound));
}
#endif

// Follows _nextFree from the sentinel. Each entry must be a free block in the
// heap whose neighbour agrees with its size; the steps are bounded by the
// free blocks counted, so a cycle that misses the sentinel is caught.
int walkFreeList(Walk &w) {
  size_t listed = 0;
  size_t listedBytes = 0;
  [[maybe_unused]] uint32_t lastPosition = UINT32_MAX;  // the last entry's
  [[maybe_unused]] size_t minBlocks = 0;                // entries of kMinBlockSize
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
#ifndef MYMALLOC_PLAIN_WALK
    if (!indexLost) {
      uint32_t p = UINT32_MAX;
      if (size > kMinBlockSize) {
        p = *spareWord(const_cast<BlockHeader *>(b));
      } else {
        const Slot &slot = slots[slotOf(b)];
        if (slot.block != nullptr) p = slot.position;
        minBlocks++;
      }
      if (p >= positions || placeOf[p] != b)
        return brokenAt(w, "free block missing from the size index", b);
      if (p >= lastPosition) return brokenAt(w, "size index out of list order", b);
      if (largest[positions + p] < size)
        return brokenAt(w, "size index holds a size below the block's", b);
      lastPosition = p;
    }
#endif
    listedBytes += size;
    if (w.visitor->freeEntry != nullptr) w.visitor->freeEntry(w.context, offsetIn(b), size);
  }
  if (_freeListSentinel._prevFree != prev)
    return brokenAt(w, "free list's tail link disagrees", &_freeListSentinel);
  if (listed != w.freeBlocks || listedBytes != w.freeBytes)
    return brokenAt(w, "free block missing from the free list", &_freeListSentinel);
#ifndef MYMALLOC_PLAIN_WALK
  size_t indexed;
  if (!indexLost && (!indexTreeHolds(&indexed) || indexed != listed || hashed != minBlocks))
    return brokenAt(w, "size index disagrees with the free list", &_freeListSentinel);
#endif
  return 0;
}

}  // namespace

// ---- Large blocks, aligned blocks (both built on the paths above) ----

namespace {

// The preload library's answer to a request beyond one chunk: a free block
// that fits, else a fenced chunk of the block's own, sized to fit (to whole
// pages; the rest of the last page is part of the block). Entered with mutex
// held; releases it.
void *allocateLarge(size_t size) {
  constexpr size_t kPage = 4096;
  size_t blockSize = 0, chunkSize = 0;
  void *p = nullptr;
  if (blockSizeFor(size, &blockSize) &&
      !__builtin_add_overflow(blockSize, 2 * kFencepostSize + kPage - 1, &chunkSize) &&
      (chunkSize &= ~(kPage - 1)) <= static_cast<size_t>(PTRDIFF_MAX)) {
    p = tryAllocate(blockSize);
    BlockHeader *b = p == nullptr ? getNewChunk(chunkSize) : nullptr;
    if (b != nullptr) {
      size_t whole = chunkSize - 2 * kFencepostSize;
      b->_blockSize = whole | kAllocatedBit;
      b->_leftSize = 0;
      blockAt(b, whole)->_leftSize = whole;
      p = payloadOf(b);
    }
  }
  if (p == nullptr) errno = ENOMEM;
  unlock();
  return p;
}

// Gives back b, a part split off a block the caller holds and marked
// allocated, through the normal free path, which merges it with a free
// neighbour. Entered with mutex held; releases it.
void releasePart(BlockHeader *b) { freeObject(payloadOf(b)); }

// A block whose payload is a multiple of alignment (a power of two above
// kAlignment), counted by the caller, entered with mutex held; releases it.
// An oversized block comes from the normal path; the aligned block is placed
// as high in it as it goes, like any block carved from a free one. The slack
// below it (at least kMinBlockSize) goes back to the heap and merges with a
// free left neighbour; slack above it goes back too if it can be a block,
// else stays part of the aligned block.
void *allocateAligned(size_t alignment, size_t size) {
  if (size == 0) {
    if (!kPreload) return allocateObject(0);  // null, errno untouched
    size = 1;                                 // the preload library has a block for 0 bytes
  }
  size_t need = 0, slack = 0, oversized = 0;
  if (!blockSizeFor(size, &need) || __builtin_add_overflow(alignment, kMinBlockSize, &slack) ||
      __builtin_add_overflow(size, slack, &oversized))
    oversized = SIZE_MAX;  // refused by allocateObject with ENOMEM
  void *p = allocateObject(oversized);
  if (p == nullptr) return nullptr;

  lock();
  BlockHeader *b = headerOf(p);
  char *end = reinterpret_cast<char *>(b) + sizeOf(b);
  uintptr_t top = reinterpret_cast<uintptr_t>(end) - need + kHeaderSize;
  auto *a = reinterpret_cast<BlockHeader *>((top & ~(alignment - 1)) - kHeaderSize);
  size_t below = static_cast<size_t>(reinterpret_cast<char *>(a) - reinterpret_cast<char *>(b));
  size_t aligned = static_cast<size_t>(end - reinterpret_cast<char *>(a));
  BlockHeader *above = nullptr;
  if (aligned - need >= kMinBlockSize) {
    above = blockAt(a, need);
    above->_blockSize = (aligned - need) | kAllocatedBit;
    above->_leftSize = need;
    blockAt(above, aligned - need)->_leftSize = aligned - need;
    aligned = need;
  } else {
    blockAt(a, aligned)->_leftSize = aligned;
  }
  a->_blockSize = aligned | kAllocatedBit;
  a->_leftSize = below;
  b->_blockSize = below | kAllocatedBit;
  releasePart(b);
  if (above != nullptr) {
    lock();
    releasePart(above);
  }
  return payloadOf(a);
}

bool isPowerOfTwo(size_t n) { return n != 0 && (n & (n - 1)) == 0; }

// The common step of the aligned entry points: counts the call as a malloc;
// an alignment that is no power of two gets EINVAL and null.
void *alignedEntry(size_t alignment, size_t size) {
  lock();
  increaseMallocCalls();
  if (!isPowerOfTwo(alignment)) {
    unlock();
    errno = EINVAL;
    return nullptr;
  }
  return alignment <= kAlignment ? allocateObject(size) : allocateAligned(alignment, size);
}

}  // namespace

// ---- The heap check (MYMALLOC_CHECK) and the statistics' environment ----

namespace {

// Writes to standard error without stdio, which may allocate.
void writeText(const char *text) {
  if (writeNoThrow(STDERR_FILENO, text, strlen(text)) < 0) {
    // nothing more can be reported
  }
}

[[noreturn]] void heapBroken(void *, const char *what, long offset) noexcept {
  char digits[24];
  char *d = digits + sizeof digits;
  *--d = '\0';
  unsigned long magnitude = offset < 0 ? 0 - static_cast<unsigned long>(offset) : offset;
  do *--d = static_cast<char>('0' + magnitude % 10);
  while ((magnitude /= 10) != 0);
  if (offset < 0) *--d = '-';
  writeText("MyMalloc: heap check failed: ");
  writeText(what);
  writeText(" at offset ");
  writeText(d);
  writeText("\n");
  abort();
}

void walkOrAbort() {
  static const HeapVisitor visitor{nullptr, nullptr, heapBroken};
  heap_walk(&visitor, nullptr);
}

// Reads MYMALLOC_CHECK once the environment exists: a very early call (from
// the dynamic loader or libc's own start-up) comes before environ is set, and
// the next call tries again. getenv only reads environ; it allocates nothing.
void readCheckSetting() {
  if (environ == nullptr) return;
  const char *text = getenv("MYMALLOC_CHECK");
  long period = 0;
  for (const char *c = text; c != nullptr && *c >= '0' && *c <= '9'; c++) {
    period = period * 10 + (*c - '0');
    if (period > INT32_MAX) period = INT32_MAX;
  }
  checkPeriod = static_cast<int>(period);
}

int callsSinceCheck;

// With mutex held, at the start of every operation: every Nth walks the heap
// now and again when it ends (checkOnUnlock), so a heap that the program broke
// is reported before the allocator works on it, and one the operation broke
// at once.
void checkOnLock() {
  if (checkPeriod == kCheckUnread) readCheckSetting();
  if (checkPeriod <= 0 || ++callsSinceCheck < checkPeriod) return;
  callsSinceCheck = 0;
  walkOrAbort();
  checkAfterThis = true;
}

void checkOnUnlock() {
  checkAfterThis = false;
  walkOrAbort();
}

// At exit, after the statistics.
void checkAtExit() {
  if (checkPeriod == kCheckUnread) readCheckSetting();
  if (checkPeriod <= 0) return;
  if (!__libc_single_threaded) pthread_mutex_lock(&mutex);
  walkOrAbort();
  if (!__libc_single_threaded) pthread_mutex_unlock(&mutex);
}

// The compiled-in build always prints the statistics at exit; the preload
// library only when MYMALLOC_STATS=1, and on standard error.
bool statsWanted() {
  if (!kPreload) return true;
  const char *text = environ != nullptr ? getenv("MYMALLOC_STATS") : nullptr;
  return text != nullptr && strcmp(text, "1") == 0;
}
FILE *reportStream() { return kPreload ? stderr : stdout; }

#ifdef MYMALLOC_PRELOAD
// The hooks that initialize() registers in the compiled-in build. The
// constructor runs before main, whenever the first allocation came.
[[gnu::constructor]] void registerHooks() {
  pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork);
}
[[gnu::destructor]] void atUnload() { atExitHandlerInC(); }
#endif

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
  if (kPreload && size == 0 && ptr != nullptr) {  // malloc(0) has a block there; this frees
    freeObject(ptr);
    return nullptr;
  }
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

// ---- The rest of libc's allocation interface: aligned blocks ----
// Each call counts as a malloc. An alignment that is no power of two gets
// EINVAL (posix_memalign returns it); a size beyond the limit ENOMEM.
// glibc's reallocarray calls realloc through its PLT, so it reaches ours.

void *aligned_alloc(size_t alignment, size_t size) noexcept {
  return alignedEntry(alignment, size);
}

void *memalign(size_t alignment, size_t size) noexcept { return alignedEntry(alignment, size); }

// Sets *memptr only on success; errno stays as it was.
int posix_memalign(void **memptr, size_t alignment, size_t size) noexcept {
  int saved = errno;
  if (alignment % sizeof(void *) != 0) alignment = 3;  // refused below like any bad alignment
  errno = 0;
  void *p = alignedEntry(alignment, size);
  int error = errno;
  errno = saved;
  if (p == nullptr && error != 0) return error;
  *memptr = p;
  return 0;
}

void *valloc(size_t size) noexcept { return alignedEntry(getpagesize(), size); }

void *pvalloc(size_t size) noexcept {
  size_t page = getpagesize();
  size_t rounded;
  if (__builtin_add_overflow(size, page - 1, &rounded))
    rounded = SIZE_MAX;  // refused as too large
  else
    rounded &= ~(page - 1);
  return alignedEntry(page, rounded);
}

size_t malloc_usable_size(void *ptr) noexcept { return ptr == nullptr ? 0 : payloadSize(ptr); }

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

void heap_search_stats(HeapSearchStats *stats) noexcept {
  stats->slowSearches = slowSearches;
  stats->blocksVisited = searchVisits;
  stats->indexSteps = indexSteps;
#ifndef MYMALLOC_PLAIN_WALK
  stats->indexBytes = indexBytes(positions);
#else
  stats->indexBytes = 0;
#endif
}

int heap_walk(const HeapVisitor *visitor, void *context) noexcept {
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
