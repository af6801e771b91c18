// heaprun's steps on a sound heap, each read where the call changed it. A call of the classic
// allocator writes the headers of the block it splits, takes or frees and of that block's
// neighbours in memory, the links of its neighbours on the free list, and a new chunk; nothing
// else. So a long run's step costs what its call changed, not what the heap holds: the blocks
// around the call are read as they are now and taken as they were from the blocks the last step
// left, which are kept by offset in a hash table (open addressing, linear probing with
// backward-shift deletion) in pages mapped for it, outside the allocator's heap, doubled when
// half full. A heap that does not read as the allocator leaves it is refused here, and heaprun
// walks it whole from then on.
#include <sys/mman.h>

#include <algorithm>

#include "MyMalloc.h"
#include "MyMallocLayout.h"
#include "heapwalk.h"

namespace heaprun {
namespace {

using mymalloc::kAlignment;
using mymalloc::kChunkSize;
using mymalloc::kFencepostSize;
using mymalloc::kHeaderSize;
using mymalloc::kMinBlockSize;

Block *table;  // a slot is empty while its span is 0: every block and fencepost has one
size_t capacity, used;
size_t freeCount;  // free blocks kept
size_t heapKept;   // the heap's bytes when the blocks were kept

// Where a free block stands in the list, without walking it (the place a step reports for the
// block first fit took): each entry has a stamp, and the stamps fall from the head to the tail.
// A block listed at the head gets a stamp above all; one that takes a listed block's place
// takes its stamp; the others keep theirs. A block's place is then the count of the stamps
// above its own, which a Fenwick tree (binary indexed tree) over the stamps gives.
constexpr uint32_t kStamps = static_cast<uint32_t>(powerAbove(2 * kMaxCalls + 4096));
int stampTree[kStamps + 1];  // 1-based
uint32_t topStamp;

void countStamp(uint32_t stamp, int delta) {
  for (uint32_t i = stamp; i <= kStamps; i += i & -i) stampTree[i] += delta;
}

// The entries listed ahead of the one with this stamp.
int stampsAbove(uint32_t stamp) {
  int atOrBelow = 0;
  for (uint32_t i = stamp; i > 0; i -= i & -i) atOrBelow += stampTree[i];
  return static_cast<int>(freeCount) - atOrBelow;
}

size_t home(long offset) {
  uint64_t h = static_cast<uint64_t>(offset) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(h >> 32) & (capacity - 1);
}

Block *find(long offset) {
  if (capacity == 0) return nullptr;
  for (size_t s = home(offset);; s = (s + 1) & (capacity - 1)) {
    if (table[s].span == 0) return nullptr;
    if (table[s].offset == offset) return &table[s];
  }
}

void insert(const Block &b) {
  size_t s = home(b.offset);
  while (table[s].span != 0 && table[s].offset != b.offset) s = (s + 1) & (capacity - 1);
  used += table[s].span == 0;
  table[s] = b;
}

// Backward-shift deletion: each entry of the run after the hole that may sit in it moves back,
// so that no search stops early at an empty slot.
void erase(long offset) {
  Block *b = find(offset);
  if (b == nullptr) return;
  size_t hole = static_cast<size_t>(b - table), mask = capacity - 1;
  for (size_t j = (hole + 1) & mask; table[j].span != 0; j = (j + 1) & mask) {
    size_t h = home(table[j].offset);
    bool stays = hole <= j ? hole < h && h <= j : hole < h || h <= j;
    if (!stays) {
      table[hole] = table[j];
      hole = j;
    }
  }
  table[hole].span = 0;
  used--;
}

// Room for more entries at most half full; false if no pages could be had.
bool room(size_t more) {
  if ((used + more) * 2 <= capacity) return true;
  size_t bigger = capacity == 0 ? size_t{1} << 16 : capacity;
  while ((used + more) * 2 > bigger) bigger *= 2;
  void *pages = mmap(nullptr, bigger * sizeof(Block), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return false;
  Block *old = table;
  size_t oldCapacity = capacity;
  table = static_cast<Block *>(pages);
  capacity = bigger;
  used = 0;
  for (size_t i = 0; i < oldCapacity; i++)
    if (old[i].span != 0) insert(old[i]);
  if (old != nullptr) munmap(old, oldCapacity * sizeof(Block));
  return true;
}

bool push(Walk *w, const Block &b) {
  if (w->count == kMaxBlocks) return false;
  w->blocks[w->count++] = b;
  return true;
}

void sortUnique(Walk *w) {
  auto byOffset = [](const Block &x, const Block &y) { return x.offset < y.offset; };
  std::sort(w->blocks, w->blocks + w->count, byOffset);
  auto sameOffset = [](const Block &x, const Block &y) { return x.offset == y.offset; };
  w->count = static_cast<int>(std::unique(w->blocks, w->blocks + w->count, sameOffset) -
                              w->blocks);
}

uint64_t sentinel() { return reinterpret_cast<uintptr_t>(&_freeListSentinel); }

// The blocks around the header at seed: from two blocks to its left, as the headers now say,
// and on to a block that was there before (no header left of it changed), up to the first
// block past seed that was there before too (the one whose _leftSize the call rewrote; no
// header right of it changed). Into a as they are, into b as they were; [*first, *last].
bool readAround(long seed, Walk *b, Walk *a, long *first, long *last) {
  long chunk = seed - seed % static_cast<long>(kChunkSize);
  long lowest = chunk + static_cast<long>(kFencepostSize), at = seed;
  for (int steps = 0; steps < 2 || find(at) == nullptr; steps++) {
    if (at == lowest) {
      if (find(at) == nullptr) return false;
      break;
    }
    uint64_t left = heapWord(at + 8);
    if (left < kMinBlockSize || left % kAlignment != 0 || left > static_cast<uint64_t>(at - lowest))
      return false;
    at -= static_cast<long>(left);
  }
  *first = at;
  for (;;) {
    Block now = readBlock(at);
    if (now.state == State::Broken || !push(a, now)) return false;
    if ((at > seed && find(at) != nullptr) || now.state == State::Fence) break;
    at += now.span;
  }
  *last = at;
  for (long y = *first;; y += find(y)->span) {
    const Block *was = y <= at ? find(y) : nullptr;
    if (was == nullptr || !push(b, *was)) return false;
    if (y == at) return true;
  }
}

// The offset of a link's block in the heap; false for the sentinel, a null link, or a link
// that leaves the heap (*bad).
bool linked(uint64_t p, long *offset, bool *bad) {
  if (p == 0 || p == sentinel()) return false;
  *bad |= !offsetOf(p, offset) || *offset < 0;
  return !*bad;
}

// The stamps of the free blocks of a: a block that took the place of one gone (merged into
// it) takes its stamp; one that was free keeps its own; the rest were listed at the head, in
// list order, and get new stamps above all. False if a block fits none of these.
bool stampAfter(Walk *b, Walk *a, uint64_t head) {
  constexpr int kNewMax = 8;
  Block *fresh[kNewMax];
  int freshCount = 0;
  for (int i = 0; i < a->count; i++) {
    Block &x = a->blocks[i];
    if (x.state != State::Free) continue;
    const Block *was = blockAt(*b, x.offset);
    if (was == nullptr) was = find(x.offset);
    bool placed = false;
    for (int j = 0; j < b->count && !placed; j++) {
      const Block &gone = b->blocks[j];
      placed = gone.state == State::Free && gone.offset > x.offset &&
               gone.offset < x.offset + x.span && blockAt(*a, gone.offset) == nullptr;
      if (placed) x.stamp = gone.stamp;
    }
    if (!placed && was != nullptr && was->state == State::Free) {
      x.stamp = was->stamp;
    } else if (!placed) {
      if (freshCount == kNewMax) return false;
      fresh[freshCount++] = &x;
    }
  }
  // The new ones lead the list: stamps from its head down, the head's the highest.
  if (topStamp + static_cast<uint32_t>(freshCount) >= kStamps) return false;
  uint64_t p = head;
  for (int n = freshCount; n > 0; n--) {
    long at;
    bool bad = false;
    Block *x = linked(p, &at, &bad) ? const_cast<Block *>(blockAt(*a, at)) : nullptr;
    int k = 0;
    while (k < freshCount && fresh[k] != x) k++;
    if (k == freshCount) return false;
    x->stamp = topStamp + static_cast<uint32_t>(n);
    p = x->next;
  }
  return true;
}

constexpr int kNamedMax = 8;
const void *named[kNamedMax];
int namedCount;
bool namedOver;

bool readStep(const ScriptCall &c, const void *result, const void *old, uint64_t headBefore,
              size_t heapBefore, Walk *b, Walk *a) {
  b->count = a->count = b->listCount = a->listCount = 0;
  b->end = a->end = ListEnd::Sentinel;
  b->damaged = a->damaged = false;
  b->heap = heapBefore;
  a->heap = heapSpan();
  if (a->heap < heapBefore || heapBefore != heapKept || namedOver) return false;
  walkChunks(a, heapBefore);  // new chunks, whole
  if (a->damaged) return false;

  constexpr int kSpansMax = 2;
  long first[kSpansMax], last[kSpansMax];
  int spans = 0;
  const void *seeds[kSpansMax] = {
      result, c.kind == CallKind::Realloc || c.kind == CallKind::Free ? old : nullptr};
  for (const void *p : seeds) {
    long at;
    if (p == nullptr) continue;
    if (!offsetOf(reinterpret_cast<uintptr_t>(p), &at) || at < static_cast<long>(kHeaderSize))
      return false;
    at -= static_cast<long>(kHeaderSize);
    if (at >= static_cast<long>(heapBefore)) continue;  // in a new chunk
    if (!readAround(at, b, a, &first[spans], &last[spans])) return false;
    spans++;
  }

  // Single blocks: the list's heads, the free-list neighbours of the free blocks read so far,
  // before and after, and the blocks whose names changed.
  constexpr int kOthersMax = 64;
  long others[kOthersMax];
  int otherCount = 0;
  bool bad = false;
  auto other = [&](uint64_t p) {
    long at;
    if (!linked(p, &at, &bad) || at >= static_cast<long>(heapBefore)) return;
    for (int s = 0; s < spans; s++)
      if (at >= first[s] && at <= last[s]) return;
    for (int i = 0; i < otherCount; i++)
      if (others[i] == at) return;
    if (otherCount == kOthersMax) bad = true;
    if (!bad) others[otherCount++] = at;
  };
  other(headBefore);
  other(reinterpret_cast<uintptr_t>(_freeListSentinel._nextFree));
  for (const Walk *w : {b, a})
    for (int i = 0, n = w->count; i < n; i++)
      if (w->blocks[i].state == State::Free) {
        other(w->blocks[i].next);
        other(w->blocks[i].prev);
      }
  for (int i = 0; i < namedCount; i++)
    other(reinterpret_cast<uintptr_t>(named[i]) - kHeaderSize);
  for (int i = 0; i < otherCount && !bad; i++) {
    const Block *was = find(others[i]);
    Block now = readBlock(others[i]);
    bad = was == nullptr || now.state == State::Broken || !push(b, *was) || !push(a, now);
  }
  if (bad) return false;
  sortUnique(b);
  sortUnique(a);

  uint64_t head = reinterpret_cast<uintptr_t>(_freeListSentinel._nextFree);
  a->list[0] = head;
  a->listCount = head != sentinel() && head != 0;
  a->listSkipped = 0;
  if (!stampAfter(b, a, head)) return false;
  // The block first fit took, and the entries ahead of it; or, for a new chunk, all of them.
  b->listSkipped = static_cast<int>(freeCount);
  long taken;
  if (result != nullptr && c.kind <= CallKind::Realloc && a->heap == heapBefore &&
      offsetOf(reinterpret_cast<uintptr_t>(result), &taken)) {
    taken -= static_cast<long>(kHeaderSize);
    for (int i = 0; i < b->count; i++) {
      const Block &x = b->blocks[i];
      if (x.state == State::Free && taken >= x.offset && taken < x.offset + x.span) {
        b->list[0] = reinterpret_cast<uintptr_t>(heapBase()) + static_cast<uint64_t>(x.offset);
        b->listCount = 1;
        b->listSkipped = stampsAbove(x.stamp);
      }
    }
  }
  return !bad && room(static_cast<size_t>(a->count));
}

}  // namespace

bool deltaStep(const ScriptCall &c, const void *result, const void *old, uint64_t headBefore,
               size_t heapBefore, Walk *before, Walk *after) {
  bool read = readStep(c, result, old, headBefore, heapBefore, before, after);
  namedCount = 0;
  namedOver = false;
  return read;
}

void deltaCommit(const Walk &before, const Walk &after) {
  for (int i = 0; i < before.count; i++) {
    const Block &was = before.blocks[i];
    if (was.state == State::Free) {
      countStamp(was.stamp, -1);
      freeCount--;
    }
    if (blockAt(after, was.offset) == nullptr) erase(was.offset);
  }
  for (int i = 0; i < after.count; i++) {
    const Block &now = after.blocks[i];
    if (now.state == State::Free) {
      countStamp(now.stamp, 1);
      freeCount++;
      topStamp = std::max(topStamp, now.stamp);
    }
    insert(now);
  }
  heapKept = after.heap;
}

void deltaNamed(const void *payload) {
  if (namedCount < kNamedMax)
    named[namedCount++] = payload;
  else
    namedOver = true;
}

void deltaDump(Walk *w, uint64_t head) {
  w->count = 0;
  for (size_t s = 0; s < capacity && w->count < kMaxBlocks; s++)
    if (table[s].span != 0) w->blocks[w->count++] = table[s];
  sortUnique(w);
  w->heap = heapKept;
  w->damaged = false;
  w->end = ListEnd::Sentinel;
  w->listCount = w->listSkipped = 0;
  bool bad = false;
  long at;
  for (uint64_t p = head; linked(p, &at, &bad) && w->listCount < kMaxBlocks;) {
    const Block *x = blockAt(*w, at);
    if (x == nullptr) break;
    w->list[w->listCount++] = p;
    p = x->next;
  }
}

namespace {

// Whether the blocks kept are w's, a whole walk; if not, the first offset that differs goes
// into *offset.
bool keptMatch(const Walk &w, long *offset) {
  size_t free = 0;
  for (int i = 0; i < w.count; i++) {
    const Block *kept = find(w.blocks[i].offset);
    free += w.blocks[i].state == State::Free;
    if (kept == nullptr || !sameBlock(*kept, w.blocks[i])) {
      *offset = w.blocks[i].offset;
      return false;
    }
  }
  if (used == static_cast<size_t>(w.count) && free == freeCount && heapKept == w.heap) return true;
  *offset = -1;
  for (size_t s = 0; s < capacity; s++)
    if (table[s].span != 0 && blockAt(w, table[s].offset) == nullptr) *offset = table[s].offset;
  return false;
}

}  // namespace

void deltaCheck(Walk *scratch, long line) {
  long offset;
  walkHeap(scratch, nullptr);
  if (keptMatch(*scratch, &offset)) return;
  flushOut();
  lineError(3, line, "the blocks read where the call changed the heap differ from the whole "
            "heap at offset ", Decimal::of(offset).text, nullptr);
}

}  // namespace heaprun
