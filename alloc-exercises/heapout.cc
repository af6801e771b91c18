// heaprun's output: JSON lines that hold the facts of each step and nothing else (no sentences:
// the explorer's page makes them, with the layout's constants from the first line). See
// docs/heaprun.md for the format. Numbers beyond 2^53, which a page's script cannot hold, are
// written as strings: sizes in decimal, header words and pointers in hex.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "MyMallocLayout.h"
#include "heapwalk.h"

namespace heaprun {
namespace {

constexpr size_t kOutSize = 65536;
char out[kOutSize];
size_t outUsed;
uint64_t outBefore;  // bytes flushed

void put(const char *s, size_t n) {
  while (n > 0) {
    if (outUsed == kOutSize) flushOut();
    size_t room = n < kOutSize - outUsed ? n : kOutSize - outUsed;
    memcpy(out + outUsed, s, room);
    outUsed += room;
    s += room;
    n -= room;
  }
}
void put(const char *s) { put(s, strlen(s)); }
void putSigned(long v) { put(Decimal::of(v).text); }

constexpr uint64_t kExact = 1ull << 53;  // the largest whole number a double holds exactly

// A size as a number, or as a string of its digits when a double cannot hold it.
void putSize(uint64_t v) {
  if (v >= kExact) put("\"");
  put(Decimal(v).text);
  if (v >= kExact) put("\"");
}

void putHex(uint64_t v) {
  char hex[21] = "\"0x";
  for (int i = 0; i < 16; i++) hex[3 + i] = "0123456789abcdef"[(v >> (60 - 4 * i)) & 15];
  hex[19] = '"';
  put(hex, 20);
}

// A word that may be anything: a number if a double holds it, else "0x..." in hex.
void putWord(uint64_t v) {
  if (v < kExact)
    put(Decimal(v).text);
  else
    putHex(v);
}

// A pointer as an offset into the heap, -1 for the list's sentinel, or its word in hex.
void putLink(uint64_t p) {
  long offset;
  if (offsetOf(p, &offset))
    putSigned(offset);
  else
    putHex(p);
}
void putPointer(const void *p) {
  if (p == nullptr)
    put("null");
  else
    putLink(reinterpret_cast<uintptr_t>(p));
}

// Text as the inside of a JSON string: quotes, backslashes, controls and '<' escaped.
void putText(const char *s, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\' || c < 0x20 || c == '<' || c >= 0x7f) {
      char esc[7] = "\\u00";
      esc[4] = "0123456789abcdef"[c >> 4];
      esc[5] = "0123456789abcdef"[c & 15];
      put(esc, 6);
    } else {
      put(s + i, 1);
    }
  }
}

void putComma(bool *first) {
  if (!*first) put(",");
  *first = false;
}

// A block as the numbers of its state: used 0,offset,size,left,name; free
// 1,offset,size,left,next,prev; fencepost 2,offset,left; broken 3,offset,word,left,span.
void putBlock(const Block &b) {
  static const char *const kStates[] = {"0,", "1,", "2,", "3,"};
  put(kStates[static_cast<int>(b.state)]);
  putSigned(b.offset);
  put(",");
  if (b.state != State::Fence) {
    putWord(b.size);
    put(",");
  }
  putWord(b.left);
  if (b.state == State::Free) {
    put(",");
    putLink(b.next);
    put(",");
    putLink(b.prev);
  } else if (b.state == State::Broken) {
    put(",");
    putSigned(b.span);
  } else if (b.state == State::Used) {
    put(",");
    if (b.holders <= 1) {
      putSigned(b.holders == 0 ? -1 : b.name);
      return;
    }
    put("[");  // several names hold it: a fault's harm
    bool first = true;
    for (int n = 0; n < script.nameCount; n++)
      if (holdsAt(n, b.offset)) {
        putComma(&first);
        putSigned(n);
      }
    put("]");
  }
}

// The blocks that are new or changed since before, then the offsets of those gone: both walks
// are in address order.
void putChanges(const Walk &before, const Walk &after) {
  put(",[");
  bool first = true;
  for (int i = 0, j = 0; j < after.count; j++) {
    while (i < before.count && before.blocks[i].offset < after.blocks[j].offset) i++;
    if (i < before.count && before.blocks[i].offset == after.blocks[j].offset &&
        sameBlock(before.blocks[i], after.blocks[j]))
      continue;
    putComma(&first);
    putBlock(after.blocks[j]);
  }
  put("],[");
  first = true;
  for (int i = 0, j = 0; i < before.count; i++) {
    while (j < after.count && after.blocks[j].offset < before.blocks[i].offset) j++;
    if (j == after.count || after.blocks[j].offset != before.blocks[i].offset) {
      putComma(&first);
      putSigned(before.blocks[i].offset);
    }
  }
  put("],");
  if (after.listCount > 0)
    putLink(after.list[0]);
  else
    put("-1");
}

// The block of w's list that holds offset, with its place; null if none. On a damaged heap
// the list may hold a block in use.
const Block *listedHolding(const Walk &w, long offset, int *place) {
  for (int i = 0; i < w.listCount; i++) {
    long at;
    const Block *b = offsetOf(w.list[i], &at) ? blockAt(w, at) : nullptr;
    if (b != nullptr && b->state != State::Broken && offset >= b->offset &&
        offset < b->offset + b->span) {
      *place = w.listSkipped + i + 1;
      return b;
    }
  }
  return nullptr;
}

// Where an allocation's block came from: [place, offset, size] of the free block first fit
// took, place being 1 + the blocks passed over; for a new chunk, 1 + all of them and the
// chunk's fresh block; 0,0,0 if it lies in no listed block.
void putFit(const void *result, const Walk &before, const Walk &after) {
  long offset = 0;
  const Block *b = result != nullptr && offsetOf(reinterpret_cast<uintptr_t>(result), &offset)
                       ? blockAt(after, offset - static_cast<long>(mymalloc::kHeaderSize))
                       : nullptr;
  int place = 0;
  long fitOffset = 0, fitSize = 0;
  if (b != nullptr && after.heap > before.heap) {
    place = before.listSkipped + before.listCount + 1;
    const Block *low = b;
    while (low > after.blocks && (low - 1)->state != State::Fence) low--;
    fitOffset = low->offset;
    for (const Block *x = low; x < after.blocks + after.count && x->state != State::Fence; x++)
      fitSize += x->span;
  } else if (const Block *fit = b ? listedHolding(before, b->offset, &place) : nullptr) {
    fitOffset = fit->offset;
    fitSize = fit->span;
  }
  putSigned(place);
  put(",");
  putSigned(fitOffset);
  put(",");
  putSigned(fitSize);
}

// The facts a step's call needs beyond the heaps: see docs/heaprun.md.
void putFacts(const ScriptCall &c, const void *result, const void *old, const Walk &before,
              const Walk &after) {
  long freed = -1;
  if (old != nullptr && offsetOf(reinterpret_cast<uintptr_t>(old), &freed))
    freed -= static_cast<long>(mymalloc::kHeaderSize);
  put(",[");
  switch (c.kind) {
    case CallKind::Malloc:
    case CallKind::Calloc:
      if (result != nullptr) putFit(result, before, after);
      break;
    case CallKind::Realloc:
      putFit(result, before, after);
      put(",");
      putSigned(freed);
      break;
    case CallKind::Free:
    case CallKind::FreeAgain:
      putSigned(freed);
      break;
    case CallKind::Overflow:
    case CallKind::Write:
      putSigned(freed + static_cast<long>(mymalloc::kHeaderSize));  // where the bytes began
      put(",");
      putSize(c.first);
      break;
  }
  put("]");
}

}  // namespace

void flushOut() {
  writeAllOrExit(STDOUT_FILENO, out, outUsed);
  outBefore += outUsed;
  outUsed = 0;
}

uint64_t outBytes() { return outBefore + outUsed; }

void putKept(int step, const Walk &w) {
  put("{\"keep\":");
  putSigned(step);
  put(",\"blocks\":[");
  for (int i = 0; i < w.count; i++) {
    if (i > 0) put(",");
    putBlock(w.blocks[i]);
  }
  put("]}\n");
}

void putHeader() {
  using namespace mymalloc;
  put("{\"heaprun\":1,\"layout\":{\"chunkSize\":");
  putSigned(kChunkSize);
  put(",\"headerSize\":");
  putSigned(kHeaderSize);
  put(",\"fencepostSize\":");
  putSigned(kFencepostSize);
  put(",\"minBlockSize\":");
  putSigned(kMinBlockSize);
  put(",\"alignment\":");
  putSigned(kAlignment);
  put(",\"largestRequest\":");
  putSigned(kLargestRequest);
  put(",\"ENOMEM\":");
  putSigned(ENOMEM);
  put("},\"names\":[");
  for (int n = 0; n < script.nameCount; n++) {
    put(n > 0 ? ",\"" : "\"");
    put(script.names[n]);  // letters, digits and '_' only: nothing to escape
    put("\"");
  }
  put("]}\n");
}

void putStep(const ScriptCall &c, const void *result, int error, const void *old,
             const Walk &before, const Walk &after, const char *message, size_t messageLength) {
  static const char *const kCalls[] = {"[[0,", "[[1,", "[[2,", "[[3,", "[[4,", "[[5,", "[[6,"};
  put(kCalls[static_cast<int>(c.kind)]);
  switch (c.kind) {
    case CallKind::Malloc:
      putSigned(c.target);
      put(",");
      putSize(c.first);
      break;
    case CallKind::Calloc:
      putSigned(c.target);
      put(",");
      putSize(c.first);
      put(",");
      putSize(c.second);
      break;
    case CallKind::Realloc:
      putSigned(c.target);
      put(",");
      putSigned(c.source);
      put(",");
      putSize(c.first);
      break;
    case CallKind::Free:
    case CallKind::FreeAgain:
      putSigned(c.source);
      break;
    case CallKind::Overflow:
    case CallKind::Write:
      putSigned(c.source);
      put(",");
      putSize(c.first);
      break;
  }
  put("],");
  putPointer(result);
  put(",");
  putSigned(error);
  putChanges(before, after);
  put(",");
  putSigned(static_cast<long>(after.heap));
  putFacts(c, result, old, before, after);
  if (messageLength > 0 || after.damaged) {
    put(",");
    if (messageLength == 0) {
      put("null");
    } else {
      put("\"");
      putText(message, messageLength);
      put("\"");
    }
  }
  if (after.damaged) {  // the list as the allocator would follow it
    put(",[");
    for (int i = 0; i < after.listCount; i++) {
      if (i > 0) put(",");
      putLink(after.list[i]);
    }
    if (after.end == ListEnd::Sentinel) put(after.listCount > 0 ? ",-1" : "-1");
    put("]");
  }
  put("]\n");
}

void putStop(long line, const char *why, long detail, const char *message, size_t messageLength) {
  put("{\"stop\":{\"line\":");
  putSigned(line);
  put(",\"why\":\"");
  put(why);
  put("\",\"detail\":");
  putSigned(detail);
  put(",\"message\":\"");
  putText(message, messageLength);
  put("\"}}\n");
}

}  // namespace heaprun
