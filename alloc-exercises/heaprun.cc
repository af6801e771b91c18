// heaprun: runs a script of malloc, calloc, realloc and free calls (standard input) on a fresh
// heap and writes the facts of each step as a JSON line (standard output): the blocks whose
// header words changed, the call's result, where its block came from. docs/heaprun.md has the
// format; the heap explorer's page draws from it as it stands.
//
// A script may also commit a fault on purpose (free!, overflow, write). From the first fault on,
// the calls run in a child process, which may loop, crash or abort on the damaged heap; this
// process passes on the steps the child reports, and says where and why it stopped.
//
// The allocator is compiled in, and heaprun allocates nothing of its own: fixed tables, read(2)
// and write(2). So the heap holds exactly what the script made, at the offsets the same calls
// give in any process where nothing else allocates.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "MyMalloc.h"
#include "MyMallocLayout.h"
#include "heapwalk.h"

namespace heaprun {

Script script;

namespace {

constexpr size_t kBlockSlots = powerAbove(kMaxCalls);  // payload -> name table
static_assert(kBlockSlots > kMaxCalls && (kBlockSlots & (kBlockSlots - 1)) == 0);

// What each name holds: a block, or why it holds none. block stays the last one it held.
enum class Held : unsigned char { Block, Null, Freed, Moved };
struct NameState {
  void *block;
  Held held;
  long since;    // the line that last changed it
  size_t asked;  // the bytes asked for its block
};
NameState names[kMaxCalls];

// Which names hold the block at each payload, for the pictures' labels: linear probing with
// tombstones, an entry per name (after a fault, two names may hold one block).
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

void forgetBlock(void *payload, int name) {
  for (size_t s = slotHash(payload); blockSlots[s].payload != nullptr;
       s = (s + 1) & (kBlockSlots - 1))
    if (blockSlots[s].payload == payload && blockSlots[s].name == name) {
      blockSlots[s].payload = kTombstone;
      deltaNamed(payload);
      return;
    }
}

void rememberBlock(void *payload, int name) {
  size_t s = slotHash(payload);
  while (blockSlots[s].payload != nullptr && blockSlots[s].payload != kTombstone)
    s = (s + 1) & (kBlockSlots - 1);
  blockSlots[s] = BlockSlot{payload, name};
  deltaNamed(payload);
}

Walk walks[2];
Walk *before = &walks[0], *after = &walks[1];  // before starts as the unset heap
bool damaged;                                   // a fault line has run
// Each step read only where its call changed the heap (heapdelta.cc), while the heap is sound;
// else each step walks the whole heap.
bool delta;

// What the allocator writes on standard error during a call goes into a pipe, read after it.
int capture[2], savedError;

}  // namespace

char message[4096];
size_t messageLength;

void takeMessage() {
  messageLength = 0;
  for (ssize_t n; (n = read(capture[0], message + messageLength,
                            sizeof message - messageLength)) > 0;)
    messageLength += static_cast<size_t>(n);
  char rest[512];
  while (read(capture[0], rest, sizeof rest) > 0) {  // beyond the room kept: dropped
  }
}

namespace {

// The block a name gives to realloc or free, or the end of the run if it holds none. A fault
// takes the block it last held.
void *blockOf(const ScriptCall &c, const char *call) {
  if (c.source == kNoName) return nullptr;
  const NameState &s = names[c.source];
  if (s.held == Held::Block || (isFault(c.kind) && s.block != nullptr)) return s.block;
  flushOut();  // the steps so far, then the error
  if (isFault(c.kind))
    scriptError(c.line, call, " ", script.names[c.source], ": the name never held a block",
                nullptr);
  const char *why = s.held == Held::Null    ? " (null since line "
                    : s.held == Held::Freed ? " (freed on line "
                                            : " (moved by realloc on line ";
  scriptError(c.line, call, " ", script.names[c.source], ": the name holds no block", why,
              Decimal::of(s.since).text, ")", nullptr);
}

void release(int name, Held why, long line) {
  if (names[name].held == Held::Block) forgetBlock(names[name].block, name);
  names[name].held = why;
  names[name].since = line;
}

// Names a call's result. A block the name held before stays allocated, unnamed.
void assign(const ScriptCall &c, void *result) {
  if (c.target == kNoName) return;
  size_t asked = c.first;
  if (c.kind == CallKind::Calloc && __builtin_mul_overflow(c.first, c.second, &asked)) asked = 0;
  release(c.target, result ? Held::Block : Held::Null, c.line);
  names[c.target] = NameState{result, result ? Held::Block : Held::Null, c.line, asked};
  if (result != nullptr) rememberBlock(result, c.target);
}

// The bytes a name's block holds for its payload, from what it asked for.
size_t payloadRoom(size_t asked) {
  using namespace mymalloc;
  size_t block = (asked + kHeaderSize + kAlignment - 1) / kAlignment * kAlignment;
  return (block < kMinBlockSize ? kMinBlockSize : block) - kHeaderSize;
}

// A fault's bytes: the byte 'A' over [start, start + n), which must lie in the heap.
void *writeFault(const ScriptCall &c, char *start, size_t n) {
  long offset;
  if (!offsetOf(reinterpret_cast<uintptr_t>(start), &offset) || !inHeap(offset, n)) {
    putStop(c.line, "outside", 0, "", 0);
    flushOut();
    _exit(0);
  }
  memset(start, 'A', n);
  return start;
}

// The block call c is given, checked before it runs: the end of the run if there is none.
void *given(const ScriptCall &c) {
  static const char *const kWords[] = {"", "", "realloc", "free", "free!", "overflow", "write"};
  if (c.kind < CallKind::Realloc) return nullptr;
  void *block = blockOf(c, kWords[static_cast<int>(c.kind)]);
  size_t room = c.source != kNoName ? payloadRoom(names[c.source].asked) : 0;
  if (c.kind == CallKind::Write && c.first > room) {
    flushOut();
    scriptError(c.line, "write ", script.names[c.source], ": its block holds ",
                Decimal(room).text, " bytes; overflow writes past it", nullptr);
  }
  return block;
}

// Makes call c; *old is the block it was given, and becomes where a fault's bytes begin.
void *run(const ScriptCall &c, void **old) {
  void *result = nullptr;
  char *block = static_cast<char *>(*old);
  size_t room = c.source != kNoName ? payloadRoom(names[c.source].asked) : 0;
  switch (c.kind) {
    case CallKind::Malloc:
      result = malloc(c.first);
      break;
    case CallKind::Calloc:
      result = calloc(c.first, c.second);
      break;
    case CallKind::Realloc:
      result = realloc(*old, c.first);
      // The old block is gone unless a non-zero size was refused.
      if (*old != nullptr && (result != nullptr || c.first == 0))
        release(c.source, c.first == 0 ? Held::Freed : Held::Moved, c.line);
      break;
    case CallKind::Free:
    case CallKind::FreeAgain:
      free(*old);
      if (*old != nullptr) release(c.source, Held::Freed, c.line);
      break;
    case CallKind::Write:
      *old = writeFault(c, block, c.first != 0 ? c.first : names[c.source].asked);
      break;
    case CallKind::Overflow:
      *old = writeFault(c, block + room, c.first);
      break;
  }
  assign(c, result);
  return result;
}

// Runs call i and writes its step.
void step(int i) {
  const ScriptCall &c = script.calls[i];
  flushOut();  // the steps before go out before anything else
  void *old = given(c);
  uint64_t head = reinterpret_cast<uintptr_t>(_freeListSentinel._nextFree);
  size_t heap = heapSpan();
  errno = 0;
  dup2(capture[1], STDERR_FILENO);
  void *result = run(c, &old);
  int error = errno;
  dup2(savedError, STDERR_FILENO);
  takeMessage();
  if (delta && !deltaStep(c, result, old, head, heap, before, after)) {
    deltaDump(before, head);  // the heap as the last step left it, whole, from here on
    delta = false;
  }
  if (!delta) walkHeap(after, before);
  putStep(c, result, error, old, *before, *after, message, messageLength);
  if (delta) deltaCommit(*before, *after);
  Walk *done = before;
  before = after;
  after = done;
}

}  // namespace

int holdersOf(const void *payload, int *first) {
  int count = 0;
  *first = kNoName;
  for (size_t s = slotHash(payload); blockSlots[s].payload != nullptr;
       s = (s + 1) & (kBlockSlots - 1))
    if (blockSlots[s].payload == payload && count++ == 0) {
      *first = blockSlots[s].name;
      if (!damaged) break;  // one name a block, until a fault
    }
  return count;
}

bool holdsAt(int name, long offset) {
  long at;
  return names[name].held == Held::Block &&
         offsetOf(reinterpret_cast<uintptr_t>(names[name].block), &at) &&
         at == offset + static_cast<long>(mymalloc::kHeaderSize);
}

}  // namespace heaprun

int main(int argc, char *argv[]) {
  using namespace heaprun;
  // --keep: the whole heap as well after every kKeepEvery-th step whose step lines, since the
  // heap kept last, take at least half as many bytes as that heap did, so that a reader of a
  // long run can start at any of those steps, and the kept heaps of a large heap take at most
  // about twice the steps' bytes; between them, each step is read where its call changed the
  // heap. --check: each such step checked against the whole heap (for the tests).
  constexpr int kKeepEvery = 1024;
  uint64_t keptAt = 0, keptBytes = 0;  // where the last kept heap ends, and its bytes
  bool keep = false, check = false;
  for (int a = 1; a < argc; a++) {
    bool k = strcmp(argv[a], "--keep") == 0, c = strcmp(argv[a], "--check") == 0;
    keep |= k;
    check |= c;
    if (!k && !c) {
      static const char kUsage[] = "Usage: heaprun [--keep] [--check] < script\n";
      writeAllOrExit(STDERR_FILENO, kUsage, sizeof kUsage - 1);
      _exit(1);
    }
  }
  delta = keep;
  readScript(STDIN_FILENO, &script);
  savedError = dup(STDERR_FILENO);
  if (savedError < 0 || pipe2(capture, O_NONBLOCK | O_CLOEXEC) != 0) {
    static const char kNoPipe[] = "heaprun: pipe: cannot capture the allocator's messages\n";
    writeAllOrExit(STDERR_FILENO, kNoPipe, sizeof kNoPipe - 1);
    _exit(1);
  }
  putHeader();
  for (int i = 0; i < script.callCount; i++) {
    if (isFault(script.calls[i].kind) && !damaged) {
      damaged = true;
      if (delta) walkHeap(before, nullptr);  // the whole heap from here on
      delta = false;
      runRestInChild(i);
    }
    step(i);
    if (delta && check) deltaCheck(after, script.calls[i].line);  // after is free between steps
    if (!keep || damaged || (i + 1) % kKeepEvery != 0 || outBytes() - keptAt < keptBytes / 2)
      continue;
    if (delta) walkHeap(after, nullptr);
    keptBytes = outBytes();
    putKept(i + 1, delta ? *after : *before);
    keptAt = outBytes();
    keptBytes = keptAt - keptBytes;
  }
  flushOut();
  // _exit, not exit: the allocator's exit report would go to standard output, through stdio,
  // which allocates.
  _exit(0);
}
