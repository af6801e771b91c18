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
#include <sys/mman.h>
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

// The size index: finds "the first block in list order that fits" without
// walking the list. Blocks enter the list only at its head or by taking a
// listed neighbour's place, and a block that changes size keeps its place, so
// list order is the order in which places were first listed, newest first.
// Each place gets a listing number when it is first listed (pushFront) and
// keeps it through every resize and every takePlace; the first fit is then
// the fitting block with the highest number. A treap keyed by (size, number)
// whose nodes also hold the highest number in their subtree answers that in
// O(log n) expected steps.
//
// The index lives beside the heap, in memory of its own from mmap: a 32-byte
// free block has no spare bytes beyond its links, and the heap's layout and
// _heapSize stay as they are. A hash table maps a block's address to its node.
// One block, the last one resized ("hot"), is kept out of the tree and looked
// at on its own, so that carving a run of blocks from one free block or
// merging a run back into it costs no tree work. If the system refuses the
// index memory, the index is dropped and the search walks the list.
// What the searches that the head did not serve cost: blocks read (the head
// included) and index nodes stepped through. For the benchmark.
unsigned long long slowSearches, searchVisits, indexSteps;

#ifndef MYMALLOC_PLAIN_WALK
struct IndexNode {
  size_t size;      // the block's size when it entered the tree
  uint64_t seq;     // listing number of the block's place; unique
  uint64_t maxSeq;  // the highest seq in this subtree
  BlockHeader *block;
  uint32_t left, right;  // node numbers; 0 is no node (a node holding zeros)
};

IndexNode *nodes;  // nodes[0] is the empty subtree
uint32_t nodeCapacity, nodeTop, freeNodes;
uint32_t *slots;  // hash table of node numbers, 0 empty; linear probing
uint32_t slotMask, slotsUsed;
uint32_t root;
uint64_t lastSeq;
BlockHeader *hotBlock;  // listed, but not in the tree; its node is hotNode
uint32_t hotNode;
bool indexLost;  // the system refused index memory: search by walking

constexpr uint32_t kFirstNodes = 1024;  // nodes and slots first mapped
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

void *mapBytes(size_t n) {
  void *p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// Drops the index for good; the search walks the list from now on.
void loseIndex() {
  indexLost = true;
  hotBlock = nullptr;
}

uint32_t priorityOf(uint32_t n) { return static_cast<uint32_t>((nodes[n].seq * kGolden) >> 32); }
bool keyBelow(uint32_t a, uint32_t b) {
  return nodes[a].size < nodes[b].size ||
         (nodes[a].size == nodes[b].size && nodes[a].seq < nodes[b].seq);
}
uint64_t subtreeMax(uint32_t n) {
  uint64_t m = nodes[n].seq;
  if (nodes[nodes[n].left].maxSeq > m) m = nodes[nodes[n].left].maxSeq;
  if (nodes[nodes[n].right].maxSeq > m) m = nodes[nodes[n].right].maxSeq;
  return m;
}
void update(uint32_t n) { nodes[n].maxSeq = subtreeMax(n); }

// Splits tree t into the keys below node k's and the rest.
void split(uint32_t t, uint32_t k, uint32_t *below, uint32_t *rest) {
  if (t == 0) {
    *below = *rest = 0;
  } else if (keyBelow(t, k)) {
    split(nodes[t].right, k, &nodes[t].right, rest);
    update(t);
    *below = t;
  } else {
    split(nodes[t].left, k, below, &nodes[t].left);
    update(t);
    *rest = t;
  }
}

// Joins two trees whose keys are all below, and all above, each other's.
uint32_t join(uint32_t a, uint32_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  if (priorityOf(a) > priorityOf(b)) {
    nodes[a].right = join(nodes[a].right, b);
    update(a);
    return a;
  }
  nodes[b].left = join(a, nodes[b].left);
  update(b);
  return b;
}

uint32_t treeInsert(uint32_t t, uint32_t n) {
  if (t == 0 || priorityOf(n) > priorityOf(t)) {
    split(t, n, &nodes[n].left, &nodes[n].right);
    update(n);
    return n;
  }
  if (keyBelow(n, t))
    nodes[t].left = treeInsert(nodes[t].left, n);
  else
    nodes[t].right = treeInsert(nodes[t].right, n);
  update(t);
  return t;
}

uint32_t treeErase(uint32_t t, uint32_t n) {
  if (t == n) return join(nodes[t].left, nodes[t].right);
  if (keyBelow(n, t))
    nodes[t].left = treeErase(nodes[t].left, n);
  else
    nodes[t].right = treeErase(nodes[t].right, n);
  update(t);
  return t;
}

uint32_t homeOf(const BlockHeader *b) {
  return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(b) * kGolden) >> 32) & slotMask;
}

// The slot holding b's node, or the empty slot where it would go.
uint32_t slotOf(const BlockHeader *b) {
  uint32_t i = homeOf(b);
  while (slots[i] != 0 && nodes[slots[i]].block != b) i = (i + 1) & slotMask;
  return i;
}

void placeInSlots(uint32_t n) {
  slots[slotOf(nodes[n].block)] = n;
  slotsUsed++;
}

// Removes b's entry, shifting back the entries of its probe run. Returns its node.
uint32_t takeFromSlots(const BlockHeader *b) {
  uint32_t i = slotOf(b);
  uint32_t n = slots[i];
  for (uint32_t j = (i + 1) & slotMask; slots[j] != 0; j = (j + 1) & slotMask) {
    uint32_t home = homeOf(nodes[slots[j]].block);
    // slots[j] may move back to i unless its home lies cyclically in (i, j].
    if ((j > i && (home <= i || home > j)) || (j < i && home <= i && home > j)) {
      slots[i] = slots[j];
      i = j;
    }
  }
  slots[i] = 0;
  slotsUsed--;
  return n;
}

// Room for one more node and its slot (load at most one half). False if the
// system refuses the memory.
bool roomForNode() {
  if (nodeTop == nodeCapacity && freeNodes == 0) {
    size_t bytes = static_cast<size_t>(nodeCapacity) * sizeof(IndexNode);
    if (nodeCapacity > UINT32_MAX / 4) return false;
    void *p = nodes == nullptr ? mapBytes(kFirstNodes * sizeof(IndexNode))
                               : mremap(nodes, bytes, 2 * bytes, MREMAP_MAYMOVE);
    if (p == nullptr || p == MAP_FAILED) return false;
    nodes = static_cast<IndexNode *>(p);
    nodeCapacity = nodeCapacity == 0 ? kFirstNodes : 2 * nodeCapacity;
    if (nodeTop == 0) nodeTop = 1;  // node 0, all zeros, is the empty subtree
  }
  if (2 * (slotsUsed + 1) > slotMask + 1 || slots == nullptr) {
    uint32_t count = slots == nullptr ? 2 * kFirstNodes : 2 * (slotMask + 1);
    auto *fresh = static_cast<uint32_t *>(mapBytes(count * sizeof(uint32_t)));
    if (fresh == nullptr) return false;
    uint32_t *old = slots;
    uint32_t oldCount = slots == nullptr ? 0 : slotMask + 1;
    slots = fresh;
    slotMask = count - 1;
    slotsUsed = 0;
    for (uint32_t i = 0; i < oldCount; i++)
      if (old[i] != 0) placeInSlots(old[i]);
    if (old != nullptr) munmap(old, oldCount * sizeof(uint32_t));
  }
  return true;
}

// Puts the hot block into the tree with its present size.
void settleHot() {
  if (hotBlock == nullptr) return;
  nodes[hotNode].size = hotBlock->_blockSize;
  root = treeInsert(root, hotNode);
  hotBlock = nullptr;
}

// A place enters the list: b, at the head, gets the next listing number.
[[gnu::noinline]] void indexAdd(BlockHeader *b) {
  if (indexLost) return;
  if (!roomForNode()) return loseIndex();
  uint32_t n = freeNodes;
  if (n != 0)
    freeNodes = nodes[n].left;
  else
    n = nodeTop++;
  nodes[n] = IndexNode{b->_blockSize, ++lastSeq, 0, b, 0, 0};
  nodes[n].maxSeq = nodes[n].seq;
  placeInSlots(n);
  root = treeInsert(root, n);
}

// b leaves the list; its listing number goes with it.
[[gnu::noinline]] void indexRemove(BlockHeader *b) {
  if (indexLost) return;
  uint32_t n = takeFromSlots(b);
  if (b == hotBlock)
    hotBlock = nullptr;
  else
    root = treeErase(root, n);
  nodes[n].left = freeNodes;
  freeNodes = n;
}

// b, still listed, changes size: it becomes the hot block.
[[gnu::noinline]] void indexResize(BlockHeader *b) {
  if (indexLost) return;
  settleHot();
  hotNode = slots[slotOf(b)];
  root = treeErase(root, hotNode);
  hotBlock = b;
}

// b takes old's place, and with it old's listing number; b is hot.
[[gnu::noinline]] void indexMove(BlockHeader *old, BlockHeader *b) {
  if (indexLost) return;
  uint32_t n = takeFromSlots(old);
  nodes[n].block = b;
  placeInSlots(n);
  if (old != hotBlock) {
    settleHot();
    root = treeErase(root, n);
    hotNode = n;
  }
  hotBlock = b;
}

// The fitting block with the highest listing number, or null; the head has
// been looked at and does not fit. Counts what it reads.
BlockHeader *indexFit(size_t blockSize) {
  uint64_t bestSeq = 0;
  uint32_t best = 0;     // the best node so far, or 0 if it lies in subtree
  uint32_t subtree = 0;  // whose every key fits and whose maxSeq is bestSeq
  for (uint32_t x = root; x != 0; indexSteps++) {
    if (nodes[x].size < blockSize) {
      x = nodes[x].right;
      continue;
    }
    if (nodes[x].seq > bestSeq) {
      bestSeq = nodes[x].seq;
      best = x;
    }
    uint32_t r = nodes[x].right;
    if (nodes[r].maxSeq > bestSeq) {
      bestSeq = nodes[r].maxSeq;
      best = 0;
      subtree = r;
    }
    x = nodes[x].left;
  }
  if (best == 0 && subtree != 0) {  // follow the highest number down
    best = subtree;
    while (nodes[best].seq != bestSeq) {
      indexSteps++;
      uint32_t l = nodes[best].left;
      best = nodes[l].maxSeq == bestSeq ? l : nodes[best].right;
    }
  }
  BlockHeader *fit = best != 0 ? nodes[best].block : nullptr;
  if (hotBlock != nullptr && hotBlock != _freeListSentinel._nextFree) {
    searchVisits++;
    if (hotBlock->_blockSize >= blockSize && nodes[hotNode].seq > bestSeq) fit = hotBlock;
  }
  if (fit != nullptr && fit != hotBlock) searchVisits++;
  return fit;
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

void unlinkFree(BlockHeader *b) {
  b->_nextFree->_prevFree = b->_prevFree;
  b->_prevFree->_nextFree = b->_nextFree;
#ifndef MYMALLOC_PLAIN_WALK
  indexRemove(b);
#endif
}

// A listed block's new size; it keeps its place.
inline void resizeFree(BlockHeader *b, size_t size) {
  b->_blockSize = size;
#ifndef MYMALLOC_PLAIN_WALK
  if (b != hotBlock) indexResize(b);
#endif
}

// b, not listed, takes the listed block old's place, with the given size.
void takePlace(BlockHeader *old, BlockHeader *b, size_t size) {
  BlockHeader *next = old->_nextFree;
  BlockHeader *prev = old->_prevFree;
  b->_nextFree = next;
  b->_prevFree = prev;
  next->_prevFree = b;
  prev->_nextFree = b;
  b->_blockSize = size;
#ifndef MYMALLOC_PLAIN_WALK
  indexMove(old, b);
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
  _freeListSentinel._nextFree = _freeListSentinel._prevFree = &_freeListSentinel;
  pushFront(first);
  _initialized = 1;
}

// The first block in list order that fits, after the head, which does not.
// Null if none fits.
[[gnu::noinline]] BlockHeader *findFit(size_t blockSize) {
  slowSearches++;
  searchVisits++;  // the head
  BlockHeader *fit = nullptr;
#ifndef MYMALLOC_PLAIN_WALK
  if (!indexLost) {
    fit = indexFit(blockSize);
  } else
#endif
  {
    for (BlockHeader *b = _freeListSentinel._nextFree; b != &_freeListSentinel;) {
      b = b->_nextFree;
      if (b == &_freeListSentinel) break;
      searchVisits++;
      if (b->_blockSize >= blockSize) {  // the flag of a block on the list is clear
        fit = b;
        break;
      }
    }
  }
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
    unlinkFree(b);
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
    unlinkFree(left);
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
// The nodes of tree t, whose keys must lie between those of nodes lo and hi
// (0: no bound), or -1 if a key, a maxSeq or a slot is wrong.
long treeCensus(uint32_t t, uint32_t lo, uint32_t hi) {
  if (t == 0) return 0;
  if ((lo != 0 && !keyBelow(lo, t)) || (hi != 0 && !keyBelow(t, hi))) return -1;
  if (slots[slotOf(nodes[t].block)] != t || nodes[t].block == hotBlock) return -1;
  long l = treeCensus(nodes[t].left, lo, t);
  long r = treeCensus(nodes[t].right, t, hi);
  if (l < 0 || r < 0 || subtreeMax(t) != nodes[t].maxSeq) return -1;
  return l + r + 1;
}
#endif

// Follows _nextFree from the sentinel. Each entry must be a free block in the
// heap whose neighbour agrees with its size; the steps are bounded by the
// free blocks counted, so a cycle that misses the sentinel is caught.
int walkFreeList(Walk &w) {
  size_t listed = 0;
  size_t listedBytes = 0;
  [[maybe_unused]] uint64_t prevSeq = 0;
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
      uint32_t n = slots[slotOf(b)];
      if (n == 0) return brokenAt(w, "free block missing from the size index", b);
      if (prevSeq != 0 && nodes[n].seq >= prevSeq)
        return brokenAt(w, "size index out of list order", b);
      if (b != hotBlock && nodes[n].size != size)
        return brokenAt(w, "size index holds a stale size", b);
      prevSeq = nodes[n].seq;
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
  if (!indexLost) {
    long inTree = treeCensus(root, 0, 0);
    if (slotsUsed != listed || inTree < 0 ||
        static_cast<size_t>(inTree) + (hotBlock != nullptr) != listed)
      return brokenAt(w, "size index disagrees with the free list", &_freeListSentinel);
  }
#endif
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

void heap_search_stats(HeapSearchStats *stats) {
  stats->slowSearches = slowSearches;
  stats->blocksVisited = searchVisits;
  stats->indexSteps = indexSteps;
#ifndef MYMALLOC_PLAIN_WALK
  stats->indexBytes =
      static_cast<size_t>(nodeCapacity) * sizeof(IndexNode) +
      (slots == nullptr ? 0 : (static_cast<size_t>(slotMask) + 1) * sizeof(uint32_t));
#else
  stats->indexBytes = 0;
#endif
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
