// heaprun: runs a script of malloc, calloc, realloc and free calls (standard input) on a fresh
// heap and writes the whole heap as one JSON line after each call (standard output).
//
// The allocator is compiled in, and heaprun allocates nothing of its own: fixed tables, read(2)
// and write(2). So the heap holds exactly what the script made, at the offsets the same calls
// give in any process where nothing else allocates.
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

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

// The visitor's state for one step's line.
struct Line {
  bool freeStarted;
  bool first;
};

// The opening of a block or a free-list entry: {"offset":O,"size":S
void putPlace(Line *line, long offset, size_t size) {
  put(line->first ? "{\"offset\":" : ",{\"offset\":");
  line->first = false;
  putSigned(offset);
  put(",\"size\":");
  putNumber(size);
}

void putBlock(void *context, const HeapBlockInfo *b) noexcept {
  putPlace(static_cast<Line *>(context), b->offset, b->size);
  static const char *const kStates[] = {",\"state\":\"used\"", ",\"state\":\"free\"",
                                        ",\"state\":\"fence\""};
  put(kStates[b->state]);
  int name = kNoName;
  if (b->state == kHeapBlockUsed)
    name = nameOfBlock(static_cast<char *>(_memStart) + b->offset + mymalloc::kHeaderSize);
  if (name == kNoName) {
    put(",\"name\":null}");
  } else {
    put(",\"name\":\"");
    put(script.names[name]);  // letters, digits and '_' only: nothing to escape
    put("\"}");
  }
}

void putFreeEntry(void *context, long offset, size_t size) noexcept {
  auto *line = static_cast<Line *>(context);
  if (!line->freeStarted) {
    put("],\"free\":[");
    line->freeStarted = true;
    line->first = true;
  }
  putPlace(line, offset, size);
  put("}");
}

long currentLine;  // of the call just made

[[noreturn]] void heapBroken(void *, const char *what, long offset) noexcept {
  put("\n");
  flushOut();
  lineError(1, currentLine, "the heap is broken after the call: ", what, " at offset ",
            Decimal::of(offset).text, nullptr);
}

void putStep(int step, const ScriptCall &c, void *result, int error) {
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
  put(",\"blocks\":[");
  Line line{false, true};
  const HeapVisitor visitor{putBlock, putFreeEntry, heapBroken};
  heap_walk(&visitor, &line);
  put(line.freeStarted ? "]" : "],\"free\":[]");
  put(",\"heap\":");
  putNumber(_heapSize);
  put("}\n");
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

void *run(const ScriptCall &c) {
  void *result = nullptr;
  switch (c.kind) {
    case CallKind::Malloc:
      result = malloc(c.first);
      break;
    case CallKind::Calloc:
      result = calloc(c.first, c.second);
      break;
    case CallKind::Realloc: {
      void *old = blockOf(c, "realloc");
      result = realloc(old, c.first);
      // The old block is gone unless a non-zero size was refused.
      if (old != nullptr && (result != nullptr || c.first == 0))
        release(c.source, c.first == 0 ? Held::Freed : Held::Moved, c.line);
      break;
    }
    case CallKind::Free: {
      void *old = blockOf(c, "free");
      free(old);
      if (old != nullptr) release(c.source, Held::Freed, c.line);
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
    void *result = run(c);
    int error = errno;
    putStep(i + 1, c, result, error);
  }
  flushOut();
  // _exit, not exit: the allocator's exit report would go to standard output, through stdio,
  // which allocates.
  _exit(0);
}
