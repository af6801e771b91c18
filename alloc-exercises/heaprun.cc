// heaprun: runs a script of malloc, calloc, realloc and free calls (standard input) on a fresh
// heap and writes one JSON line after each call (standard output): the blocks that changed, the
// heap's figures, and what the call did, read from the heap walks before and after it.
//
// The allocator is compiled in, and heaprun allocates nothing of its own: fixed tables, read(2)
// and write(2). So the heap holds exactly what the script made, at the offsets the same calls
// give in any process where nothing else allocates.
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "MyMalloc.h"
#include "MyMallocLayout.h"
#include "heapscript.h"

namespace {

constexpr size_t kOutSize = 65536;
constexpr size_t kBlockSlots = 16384;  // payload -> name table: a power of two above kMaxCalls
static_assert(kBlockSlots > kMaxCalls && (kBlockSlots & (kBlockSlots - 1)) == 0);

Script script;

// What each name holds: a block, or why it holds none.
enum class Held : unsigned char { Block, Null, Freed, Moved };
struct NameState {
  void *block;
  Held held;
  long since;  // the line that last changed it
};
NameState names[kMaxCalls];

// Which name holds the block at each payload, for the pictures' labels. Linear probing with
// tombstones; each call inserts at most once, so the table never fills.
void *const kTombstone = reinterpret_cast<void *>(1);
struct BlockSlot {
  void *payload;
  int name;
};
BlockSlot blockSlots[kBlockSlots];

size_t slotHash(const void *p) {
  uint64_t h = reinterpret_cast<uintptr_t>(p) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(h >> 32) & (kBlockSlots - 1);
}

void forgetBlock(void *payload) {
  for (size_t s = slotHash(payload); blockSlots[s].payload != nullptr;
       s = (s + 1) & (kBlockSlots - 1))
    if (blockSlots[s].payload == payload) {
      blockSlots[s].payload = kTombstone;
      return;
    }
}

void rememberBlock(void *payload, int name) {
  size_t s = slotHash(payload);
  while (blockSlots[s].payload != nullptr && blockSlots[s].payload != kTombstone)
    s = (s + 1) & (kBlockSlots - 1);
  blockSlots[s] = BlockSlot{payload, name};
}

int nameOfBlock(const void *payload) {
  for (size_t s = slotHash(payload); blockSlots[s].payload != nullptr;
       s = (s + 1) & (kBlockSlots - 1))
    if (blockSlots[s].payload == payload) return blockSlots[s].name;
  return kNoName;
}

// Standard output, buffered here.
char out[kOutSize];
size_t outUsed;

void flushOut() {
  writeAllOrExit(STDOUT_FILENO, out, outUsed);
  outUsed = 0;
}

void put(const char *s, size_t n) {
  if (n > kOutSize - outUsed) flushOut();
  memcpy(out + outUsed, s, n);
  outUsed += n;
}
void put(const char *s) { put(s, strlen(s)); }

void putNumber(unsigned long long v) { put(Decimal(v).text); }
void putSigned(long v) { put(Decimal::of(v).text); }

long offsetOf(const void *p) {
  return static_cast<long>(static_cast<const char *>(p) - static_cast<const char *>(_memStart));
}

// The call as the script says it, in one spelling.
void putCall(const ScriptCall &c) {
  auto source = [](const ScriptCall &call) {
    return call.source == kNoName ? "null" : script.names[call.source];
  };
  if (c.target != kNoName) {
    put(script.names[c.target]);
    put(" = ");
  }
  switch (c.kind) {
    case CallKind::Malloc:
      put("malloc ");
      putNumber(c.first);
      break;
    case CallKind::Calloc:
      put("calloc ");
      putNumber(c.first);
      put(" ");
      putNumber(c.second);
      break;
    case CallKind::Realloc:
      put("realloc ");
      put(source(c));
      put(" ");
      putNumber(c.first);
      break;
    case CallKind::Free:
      put("free ");
      put(source(c));
      break;
  }
}

// One block of a walk, with its free-list links as offsets (kNone for the sentinel).
constexpr long kNone = -1;
struct Block {
  long offset;
  size_t size, left;
  HeapBlockState state;
  long next, prev;  // free blocks only
  int name;         // used blocks only
  int place;        // 1 for the head of the free list; 0 for a block not on it
};
// Each call adds at most one chunk (two fenceposts and a block) and splits at most one block.
constexpr int kMaxBlocks = 5 * kMaxCalls + 8;

// The whole heap as one walk saw it: blocks in address order, the free list head first.
struct Walk {
  Block blocks[kMaxBlocks];
  int count;
  long order[kMaxBlocks];
  int freeCount;
  size_t heap;
};
Walk walks[2];
Walk *before = &walks[0], *after = &walks[1];  // before starts as the unset heap

long currentLine;  // of the call just made

[[noreturn]] void heapBroken(void *, const char *what, long offset) noexcept {
  flushOut();
  lineError(1, currentLine, "the heap is broken after the call: ", what, " at offset ",
            Decimal::of(offset).text, nullptr);
}

// Where each block of the walk in progress is, by offset: linear probing, each slot stamped with
// the walk it belongs to, so that no walk has to clear the table.
constexpr size_t kPlaceSlots = 131072;
static_assert(kPlaceSlots > 2 * kMaxBlocks && (kPlaceSlots & (kPlaceSlots - 1)) == 0);
struct PlaceSlot {
  unsigned walk;
  int index;
  long offset;
};
PlaceSlot placeSlots[kPlaceSlots];
unsigned walkNumber;

size_t placeHash(long offset) {
  return static_cast<size_t>((static_cast<uint64_t>(offset) * 0x9E3779B97F4A7C15ull) >> 40) &
         (kPlaceSlots - 1);
}

// The index of the block at offset in the walk in progress, or -1.
int indexOf(long offset) {
  for (size_t s = placeHash(offset); placeSlots[s].walk == walkNumber;
       s = (s + 1) & (kPlaceSlots - 1))
    if (placeSlots[s].offset == offset) return placeSlots[s].index;
  return -1;
}

void takeBlock(void *context, const HeapBlockInfo *b) noexcept {
  Walk *w = static_cast<Walk *>(context);
  if (w->count == kMaxBlocks) heapBroken(nullptr, "more blocks than calls can make", b->offset);
  size_t s = placeHash(b->offset);
  while (placeSlots[s].walk == walkNumber) s = (s + 1) & (kPlaceSlots - 1);
  placeSlots[s] = PlaceSlot{walkNumber, w->count, b->offset};
  int name = b->state == kHeapBlockUsed
                 ? nameOfBlock(static_cast<char *>(_memStart) + b->offset + mymalloc::kHeaderSize)
                 : kNoName;
  w->blocks[w->count++] = Block{b->offset, b->size, b->leftSize, b->state, kNone, kNone, name, 0};
}

void takeFreeEntry(void *context, long offset, size_t) noexcept {
  Walk *w = static_cast<Walk *>(context);
  if (w->freeCount < kMaxBlocks) w->order[w->freeCount++] = offset;
}

// The block at offset among w's blocks, or null.
const Block *blockAt(const Walk &w, long offset) {
  const Block *end = w.blocks + w.count;
  const Block *b =
      std::lower_bound(w.blocks, end, offset, [](const Block &x, long o) { return x.offset < o; });
  return b != end && b->offset == offset ? b : nullptr;
}

// The free block of w that holds offset, or null.
const Block *freeBlockHolding(const Walk &w, long offset) {
  for (int i = 0; i < w.freeCount; i++) {
    const Block *b = blockAt(w, w.order[i]);
    if (b != nullptr && offset >= b->offset && offset < b->offset + static_cast<long>(b->size))
      return b;
  }
  return nullptr;
}

void walkHeap(Walk *w) {
  w->count = w->freeCount = 0;
  walkNumber++;
  const HeapVisitor visitor{takeBlock, takeFreeEntry, heapBroken, nullptr};
  heap_walk(&visitor, w);
  w->heap = _heapSize;
  // The links are the list's order: heap_walk has checked that they run both ways.
  for (int i = 0; i < w->freeCount; i++) {
    int at = indexOf(w->order[i]);
    if (at < 0) heapBroken(nullptr, "a listed block that is not in its chunk", w->order[i]);
    Block *b = &w->blocks[at];
    b->place = i + 1;
    b->next = i + 1 < w->freeCount ? w->order[i + 1] : kNone;
    b->prev = i > 0 ? w->order[i - 1] : kNone;
  }
}

bool sameBlock(const Block &a, const Block &b) {
  return a.size == b.size && a.left == b.left && a.state == b.state && a.next == b.next &&
         a.prev == b.prev && a.name == b.name;
}

void putLink(long offset) {
  if (offset == kNone)
    put("null");
  else
    putSigned(offset);
}

void putChanged(const Block &b, bool first) {
  static const char *const kStates[] = {"used", "free", "fence"};
  put(first ? "{\"offset\":" : ",{\"offset\":");
  putSigned(b.offset);
  put(",\"size\":");
  putNumber(b.size);
  put(",\"state\":\"");
  put(kStates[b.state]);
  put("\",\"left\":");
  putNumber(b.left);
  put(",\"next\":");
  putLink(b.next);
  put(",\"prev\":");
  putLink(b.prev);
  if (b.name == kNoName) {
    put(",\"name\":null}");
  } else {
    put(",\"name\":\"");
    put(script.names[b.name]);  // letters, digits and '_' only: nothing to escape
    put("\"}");
  }
}

// The blocks that are new or changed since before, then the offsets of those that are gone:
// both walks are in address order.
void putChanges() {
  put(",\"changed\":[");
  bool first = true;
  for (int i = 0, j = 0; j < after->count; j++) {
    while (i < before->count && before->blocks[i].offset < after->blocks[j].offset) i++;
    if (i < before->count && before->blocks[i].offset == after->blocks[j].offset &&
        sameBlock(before->blocks[i], after->blocks[j]))
      continue;
    putChanged(after->blocks[j], first);
    first = false;
  }
  put("],\"gone\":[");
  first = true;
  for (int i = 0; i < before->count; i++)
    if (indexOf(before->blocks[i].offset) < 0) {  // after is the walk just made
      if (!first) put(",");
      putSigned(before->blocks[i].offset);
      first = false;
    }
  put("],\"head\":");
  putLink(after->freeCount > 0 ? after->order[0] : kNone);
}

// The heap's figures after the call, from its walk.
void putFigures() {
  size_t used = 0, usedBytes = 0, freeBytes = 0, largest = 0;
  for (int i = 0; i < after->count; i++) {
    const Block &b = after->blocks[i];
    if (b.state == kHeapBlockUsed) {
      used++;
      usedBytes += b.size;
    } else if (b.state == kHeapBlockFree) {
      freeBytes += b.size;
      if (b.size > largest) largest = b.size;
    }
  }
  put(",\"heap\":");
  putNumber(after->heap);
  put(",\"figures\":{\"usedBlocks\":");
  putNumber(used);
  put(",\"usedBytes\":");
  putNumber(usedBytes);
  put(",\"payload\":");
  putNumber(usedBytes - used * mymalloc::kHeaderSize);
  put(",\"freeBlocks\":");
  putNumber(static_cast<unsigned>(after->freeCount));
  put(",\"freeBytes\":");
  putNumber(freeBytes);
  put(",\"largestFree\":");
  putNumber(largest);
  put("}");
}

// What a call did, as the two walks and its result show it.
struct Facts {
  bool hasLength;  // false: calloc's count times size does not fit in 64 bits
  size_t length;
  const Block *block;  // the block handed out (after), or null
  long fitPlace;       // 1 + the free blocks first fit passed over; 0 if none was taken
  long fitOffset;
  size_t fitSize;
  size_t remainder;  // left in place of the block first fit took; 0 if handed out whole
  bool grew;
  const Block *freed;   // the block freed (before), or null
  const Block *into;    // the free block it is part of now (after)
  bool left, right;     // merged with the free neighbour on that side
  size_t copied;        // realloc: bytes moved into the new block
  const char *refused;  // why the result is null, or null
};

Facts factsOf(const ScriptCall &c, void *result, int error, const void *old) {
  Facts f{};
  f.hasLength = c.kind != CallKind::Free;
  f.length = c.first;
  if (c.kind == CallKind::Calloc)
    f.hasLength = !__builtin_mul_overflow(c.first, c.second, &f.length);
  f.grew = after->heap > before->heap;
  if (old != nullptr) {
    f.freed = blockAt(*before, offsetOf(old) - static_cast<long>(mymalloc::kHeaderSize));
    if (f.freed != nullptr && c.kind == CallKind::Realloc && result == nullptr && c.first != 0)
      f.freed = nullptr;  // refused: the old block stays
  }
  if (f.freed != nullptr) {
    f.into = freeBlockHolding(*after, f.freed->offset);
    if (f.into != nullptr) {
      f.left = f.into->offset < f.freed->offset;
      f.right = f.into->offset + static_cast<long>(f.into->size) >
                f.freed->offset + static_cast<long>(f.freed->size);
    }
  }
  if (c.kind == CallKind::Free) return f;
  if (result == nullptr) {
    f.refused = !f.hasLength || error == ENOMEM ? "limit" : f.length == 0 ? "zero" : "memory";
    return f;
  }
  f.block = blockAt(*after, offsetOf(result) - static_cast<long>(mymalloc::kHeaderSize));
  if (f.block == nullptr) return f;
  if (c.kind == CallKind::Realloc && f.freed != nullptr) {
    size_t payload = f.freed->size - mymalloc::kHeaderSize;
    f.copied = c.first < payload ? c.first : payload;
  }
  // The free block it came from: one listed before the call, or the new chunk's.
  const Block *fit = freeBlockHolding(*before, f.block->offset);
  if (fit != nullptr && !f.grew) {
    f.fitPlace = fit->place;
    f.fitOffset = fit->offset;
    f.fitSize = fit->size;
  } else {
    f.fitPlace = before->freeCount + 1;
    // The new chunk's blocks lie between its fenceposts.
    const Block *low = f.block;
    while (low > after->blocks && (low - 1)->state != kHeapBlockFence) low--;
    f.fitOffset = low->offset;
    f.fitSize = 0;
    for (const Block *b = low; b->state != kHeapBlockFence; b++) f.fitSize += b->size;
  }
  f.remainder = static_cast<size_t>(f.block->offset - f.fitOffset);
  return f;
}

void putOptional(const char *key, bool present, long value) {
  put(key);
  if (present)
    putSigned(value);
  else
    put("null");
}

void putFacts(const Facts &f) {
  putOptional(",\"what\":{\"length\":", f.hasLength, static_cast<long>(f.length));
  putOptional(",\"block\":", f.block != nullptr, f.block ? f.block->offset : 0);
  putOptional(",\"fit\":", f.fitPlace > 0, f.fitPlace);
  putOptional(",\"fitOffset\":", f.fitPlace > 0, f.fitOffset);
  putOptional(",\"fitSize\":", f.fitPlace > 0, static_cast<long>(f.fitSize));
  put(",\"remainder\":");
  putNumber(f.remainder);
  put(f.grew ? ",\"grew\":true" : ",\"grew\":false");
  putOptional(",\"freed\":", f.freed != nullptr, f.freed ? f.freed->offset : 0);
  putOptional(",\"into\":", f.into != nullptr, f.into ? f.into->offset : 0);
  put(f.left ? ",\"left\":true" : ",\"left\":false");
  put(f.right ? ",\"right\":true" : ",\"right\":false");
  put(",\"copied\":");
  putNumber(f.copied);
  put(",\"refused\":");
  if (f.refused == nullptr) {
    put("null}");
  } else {
    put("\"");
    put(f.refused);
    put("\"}");
  }
}

// The facts in a sentence or two, the same for the page and for a reader of the JSON.
void putSaying(const ScriptCall &c, const Facts &f, bool setUp) {
  static const char *const kVerbs[] = {"malloc", "calloc", "realloc", "free"};
  put(",\"say\":\"");
  if (c.kind != CallKind::Free) put(kVerbs[static_cast<int>(c.kind)]);
  if (c.kind == CallKind::Calloc && f.hasLength) {
    put(" of ");
    putNumber(f.length);
    put(" bytes");
    if (f.block != nullptr) put(" (zeroed)");
  } else if (c.kind != CallKind::Free) {
    put(" ");
    putNumber(c.first);
  }
  if (f.refused != nullptr) {
    put(f.refused[0] == 'z'
            ? " \u2192 null: a request of 0 bytes gets no block; errno is untouched."
        : f.refused[0] == 'l'
            ? " \u2192 null, ENOMEM: beyond the largest request (2097088 bytes); no "
              "chunk is taken for it."
            : " \u2192 null: the heap could not grow (the allocator's message says so).");
    if (c.kind == CallKind::Realloc && f.freed == nullptr && c.source != kNoName)
      put(" The old block stays as it was.");
    if (setUp) put(" The heap was set up all the same: one 2 MiB chunk from sbrk.");
  } else if (f.block != nullptr) {
    put(" \u2192 a ");
    putNumber(f.block->size);
    put("-byte block at ");
    putSigned(f.block->offset);
    if (setUp) {
      put(". The first call set the heap up: one 2 MiB chunk from sbrk, with one free block of ");
      putNumber(f.fitSize);
      put(" bytes. ");
    } else if (f.grew) {
      put(". No free block was large enough (first fit passed over all ");
      putNumber(static_cast<unsigned long>(f.fitPlace - 1));
      put("), so a new 2 MiB chunk was taken. ");
    } else {
      put(". First fit took free block #");
      putNumber(static_cast<unsigned long>(f.fitPlace));
      put(" (");
      putNumber(f.fitSize);
      put(" bytes at ");
      putSigned(f.fitOffset);
      put("), passing over ");
      if (f.fitPlace == 1) {
        put("none. ");
      } else {
        putNumber(static_cast<unsigned long>(f.fitPlace - 1));
        put(" too small. ");
      }
    }
    if (f.remainder == 0) {
      put("It was handed out whole.");
    } else {
      put("The block was carved from its high end; ");
      putNumber(f.remainder);
      put(" bytes stay free in its place.");
    }
  } else if (c.kind == CallKind::Free && f.freed == nullptr) {
    put("free of null does nothing.");
  }
  if (c.kind == CallKind::Realloc && f.block != nullptr && f.freed != nullptr) {
    put(" The first ");
    putNumber(f.copied);
    put(" bytes were copied, then the old block was freed.");
  }
  if (f.freed != nullptr && f.into != nullptr) {
    put(c.kind == CallKind::Free ? "The " : " The ");
    putNumber(f.freed->size);
    put("-byte block at ");
    putSigned(f.freed->offset);
    put(f.left && f.right ? " merged with both free neighbours into "
        : f.left          ? " merged with its free left neighbour into "
        : f.right         ? " merged with its free right neighbour into "
                          : " had no free neighbour: it is ");
    put("a free block of ");
    putNumber(f.into->size);
    put(" bytes at ");
    putSigned(f.into->offset);
    put(", #");
    putNumber(static_cast<unsigned>(f.into->place));
    put(" in the free list.");
  }
  put("\"");
}

void putStep(int step, const ScriptCall &c, void *result, int error, const void *old) {
  walkHeap(after);
  put("{\"step\":");
  putNumber(static_cast<unsigned>(step));
  put(",\"call\":\"");
  putCall(c);
  put("\",\"result\":");
  if (result == nullptr) {
    put("null");
  } else {
    putSigned(offsetOf(result));
  }
  put(",\"errno\":");
  putSigned(error);
  putChanges();
  putFigures();
  Facts facts = factsOf(c, result, error, old);
  putFacts(facts);
  putSaying(c, facts, before->heap == 0 && after->heap > 0);
  put("}\n");
  Walk *done = before;
  before = after;
  after = done;
}

// The block a name gives to realloc or free, or the end of the run if it holds none.
void *blockOf(const ScriptCall &c, const char *call) {
  if (c.source == kNoName) return nullptr;
  const NameState &s = names[c.source];
  if (s.held == Held::Block) return s.block;
  flushOut();  // the steps so far, then the error
  const char *why = s.held == Held::Null    ? " (null since line "
                    : s.held == Held::Freed ? " (freed on line "
                                            : " (moved by realloc on line ";
  scriptError(c.line, call, " ", script.names[c.source], ": the name holds no block", why,
              Decimal::of(s.since).text, ")", nullptr);
}

void release(int name, Held why, long line) {
  forgetBlock(names[name].block);
  names[name] = NameState{nullptr, why, line};
}

// Names a call's result. A block the name held before stays allocated, unnamed.
void assign(const ScriptCall &c, void *result) {
  if (c.target == kNoName) return;
  if (names[c.target].held == Held::Block) forgetBlock(names[c.target].block);
  names[c.target] = NameState{result, result ? Held::Block : Held::Null, c.line};
  if (result != nullptr) rememberBlock(result, c.target);
}

void *run(const ScriptCall &c, void **old) {
  void *result = nullptr;
  switch (c.kind) {
    case CallKind::Malloc:
      result = malloc(c.first);
      break;
    case CallKind::Calloc:
      result = calloc(c.first, c.second);
      break;
    case CallKind::Realloc: {
      *old = blockOf(c, "realloc");
      result = realloc(*old, c.first);
      // The old block is gone unless a non-zero size was refused.
      if (*old != nullptr && (result != nullptr || c.first == 0))
        release(c.source, c.first == 0 ? Held::Freed : Held::Moved, c.line);
      break;
    }
    case CallKind::Free: {
      *old = blockOf(c, "free");
      free(*old);
      if (*old != nullptr) release(c.source, Held::Freed, c.line);
      break;
    }
  }
  assign(c, result);
  return result;
}

}  // namespace

int main(int argc, char *[]) {
  if (argc > 1) {
    static const char kUsage[] = "Usage: heaprun < script\n";
    writeAllOrExit(STDERR_FILENO, kUsage, sizeof kUsage - 1);
    _exit(1);
  }
  readScript(STDIN_FILENO, &script);
  for (int i = 0; i < script.callCount; i++) {
    const ScriptCall &c = script.calls[i];
    currentLine = c.line;
    flushOut();  // the steps before go out before anything the allocator itself writes
    errno = 0;
    void *old = nullptr;
    void *result = run(c, &old);
    int error = errno;
    putStep(i + 1, c, result, error, old);
  }
  flushOut();
  // _exit, not exit: the allocator's exit report would go to standard output, through stdio,
  // which allocates.
  _exit(0);
}
