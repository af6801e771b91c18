// The heap walked from fencepost to fencepost and along the free list, every word read inside
// the chunks only: a size that runs past its chunk, a link that leaves the heap, a list that
// comes back on itself are recorded, never followed. So a heap that a fault has damaged can be
// read after every call, by the process that damaged it, without taking that process down.
#include "heapwalk.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "MyMalloc.h"
#include "MyMallocLayout.h"

namespace heaprun {
namespace {

using mymalloc::kAllocatedBit;
using mymalloc::kChunkSize;
using mymalloc::kFencepostSize;
using mymalloc::kMinBlockSize;

const char *base;  // the first chunk, as the allocator set it up (a copy a stray write misses)
size_t heapBytes;  // of whole chunks, within the program break

uint64_t wordAt(long offset) {
  uint64_t w;
  memcpy(&w, base + offset, sizeof w);
  return w;
}

// Where the chunks lie: from the first one, as far as the allocator says it took and the
// program break allows. heaprun itself never moves the break.
void findChunks() {
  if (base == nullptr && _initialized) base = static_cast<const char *>(_memStart);
  if (base == nullptr) return;
  const char *brk = static_cast<const char *>(sbrk(0));
  size_t room = brk > base ? static_cast<size_t>(brk - base) : 0;
  heapBytes = std::min(_heapSize, room) / kChunkSize * kChunkSize;
}

void add(Walk *w, const Block &b) {
  if (w->count < kMaxBlocks) w->blocks[w->count++] = b;
}

// A fencepost as its words read: Broken if it is not marked as one.
Block fenceAt(long at) {
  uint64_t word = wordAt(at);
  bool sound = word == kAllocatedBit;
  return Block{at, sound ? kFencepostSize : word, wordAt(at + 8), 0, 0,
               static_cast<long>(kFencepostSize), sound ? State::Fence : State::Broken,
               kNoName, 0, 0};
}

// The block whose header is at `at`, below a chunk's right fencepost at end. A header whose
// size cannot be a block here is Broken: its span is the size the block had in the walk
// before, if that leads to a header, or else the rest of the chunk, taken as unreadable.
Block blockAtHeader(long at, long end, const Walk *before) {
  uint64_t word = wordAt(at), size = word & ~kAllocatedBit;
  Block b{at, size, wordAt(at + 8), 0, 0, static_cast<long>(size), State::Used, kNoName, 0, 0};
  if (size < kMinBlockSize || size % mymalloc::kAlignment != 0 ||
      size > static_cast<uint64_t>(end - at)) {
    b.state = State::Broken;
    b.size = word;
    const Block *was = before != nullptr ? blockAt(*before, at) : nullptr;
    b.span = was != nullptr && was->state != State::Broken && was->span <= end - at ? was->span
                                                                                     : end - at;
  } else if ((word & kAllocatedBit) == 0) {
    b.state = State::Free;
    b.next = wordAt(at + 16);
    b.prev = wordAt(at + 24);
  } else {
    b.holders = holdersOf(base + at + mymalloc::kHeaderSize, &b.name);
  }
  return b;
}

// One chunk's blocks; past a Broken header the walk goes on by its span.
void walkChunk(Walk *w, const Walk *before, long start) {
  long end = start + static_cast<long>(kChunkSize - kFencepostSize);
  for (long at = start; at <= end;) {
    Block b = at == start || at == end ? fenceAt(at) : blockAtHeader(at, end, before);
    if (b.state == State::Broken) w->damaged = true;
    add(w, b);
    at += b.span;
  }
}

// The free list from the sentinel along _nextFree, as first fit would go, each entry once:
// a block met again ends the walk as a cycle. A pointer that is not a block's header is still
// followed while its words lie in the heap (a few of them: they are searched one by one).
void walkList(Walk *w) {
  constexpr int kStrayMax = 64;
  long strays[kStrayMax];
  int strayCount = 0;
  for (int i = 0; i < w->count; i++) w->place[i] = 0;
  w->listCount = 0;
  w->end = ListEnd::Bound;
  uint64_t p = reinterpret_cast<uintptr_t>(_freeListSentinel._nextFree);
  while (w->listCount < kMaxBlocks) {
    long offset;
    if (_freeListSentinel._nextFree == nullptr ||
        p == reinterpret_cast<uintptr_t>(&_freeListSentinel)) {
      w->end = ListEnd::Sentinel;
      return;
    }
    w->list[w->listCount++] = p;
    if (!offsetOf(p, &offset) || offset % mymalloc::kAlignment != 0 ||
        !inHeap(offset, kMinBlockSize)) {
      w->end = ListEnd::Outside;
      return;
    }
    const Block *b = blockAt(*w, offset);
    bool again = false;
    if (b != nullptr) {
      int &place = w->place[b - w->blocks];
      again = place != 0;
      if (!again) place = w->listCount;
    } else {
      for (int i = 0; i < strayCount; i++) again |= strays[i] == offset;
      if (strayCount == kStrayMax) return;  // Bound
      strays[strayCount++] = offset;
    }
    if (again) {
      w->end = ListEnd::Cycle;
      return;
    }
    p = wordAt(offset + 16);
  }
}

}  // namespace

bool offsetOf(uint64_t pointer, long *offset) {
  if (pointer == reinterpret_cast<uintptr_t>(&_freeListSentinel)) {
    *offset = -1;
    return true;
  }
  uint64_t from = reinterpret_cast<uintptr_t>(base);
  if (base == nullptr || pointer < from || pointer - from >= heapBytes) return false;
  *offset = static_cast<long>(pointer - from);
  return true;
}

bool inHeap(long offset, size_t n) {
  return offset >= 0 && static_cast<size_t>(offset) <= heapBytes && n <= heapBytes - offset;
}

const Block *blockAt(const Walk &w, long offset) {
  const Block *end = w.blocks + w.count;
  const Block *b =
      std::lower_bound(w.blocks, end, offset, [](const Block &x, long o) { return x.offset < o; });
  return b != end && b->offset == offset ? b : nullptr;
}

bool sameBlock(const Block &a, const Block &b) {
  return a.size == b.size && a.left == b.left && a.state == b.state && a.next == b.next &&
         a.prev == b.prev && a.span == b.span && a.name == b.name && a.holders == b.holders;
}

size_t heapSpan() {
  findChunks();
  return base == nullptr ? 0 : heapBytes;
}

uint64_t heapWord(long offset) { return wordAt(offset); }

const void *heapBase() { return base; }

Block readBlock(long at) {
  long start = at - at % static_cast<long>(kChunkSize);
  long end = start + static_cast<long>(kChunkSize - kFencepostSize);
  return at == start || at == end ? fenceAt(at) : blockAtHeader(at, end, nullptr);
}

void walkChunks(Walk *w, size_t from) {
  for (size_t c = from; c < heapBytes; c += kChunkSize) walkChunk(w, nullptr, static_cast<long>(c));
}

void walkHeap(Walk *w, const Walk *before) {
  w->count = w->listCount = w->listSkipped = 0;
  w->damaged = false;
  w->end = ListEnd::Sentinel;
  findChunks();
  w->heap = base == nullptr ? 0 : heapBytes;
  if (w->heap == 0) return;
  for (size_t c = 0; c < heapBytes; c += kChunkSize) walkChunk(w, before, static_cast<long>(c));
  walkList(w);
  // Each entry a free block, met once, and every free block met: the list is whole.
  int listed = 0, free = 0;
  for (int i = 0; i < w->count; i++) {
    free += w->blocks[i].state == State::Free;
    listed += w->blocks[i].state == State::Free && w->place[i] != 0;
  }
  if (w->end != ListEnd::Sentinel || listed != w->listCount || listed != free) w->damaged = true;
}

}  // namespace heaprun
