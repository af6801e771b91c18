// Reads heaprun's JSON lines back. heaprun writes one fixed shape, so this reads exactly that
// shape, field by field, and treats anything else as unreadable.
#include "heapsteps.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace heapview {
namespace {

constexpr char kErrorPrefix[] = "heaprun: ";

// A cursor over one line.
struct Cursor {
  const char *at;
  const char *end;
  bool ok;

  void expect(const char *literal) {
    size_t n = strlen(literal);
    if (ok && static_cast<size_t>(end - at) >= n && memcmp(at, literal, n) == 0)
      at += n;
    else
      ok = false;
  }
  bool next(char c) {
    if (ok && at < end && *at == c) {
      at++;
      return true;
    }
    return false;
  }
  unsigned long long digits() {
    unsigned long long v = 0;
    const char *start = at;
    while (ok && at < end && *at >= '0' && *at <= '9') {
      if (__builtin_mul_overflow(v, 10ull, &v) ||
          __builtin_add_overflow(v, static_cast<unsigned long long>(*at - '0'), &v))
        ok = false;
      at++;
    }
    if (at == start) ok = false;
    return v;
  }
  long number() {
    bool negative = next('-');
    unsigned long long v = digits();
    if (v > static_cast<unsigned long long>(LONG_MAX)) ok = false;
    long n = static_cast<long>(v);
    return negative ? -n : n;
  }
  size_t size() { return static_cast<size_t>(digits()); }
  // A number, or kNoLink for null.
  long optional() {
    if (next('n')) {
      expect("ull");
      return kNoLink;
    }
    return number();
  }
  bool boolean() {
    if (next('t')) {
      expect("rue");
      return true;
    }
    expect("false");
    return false;
  }

  // A string without escapes (heaprun writes none), or null.
  Text text() {
    if (next('n')) {
      expect("ull");
      return Text{nullptr, 0};
    }
    expect("\"");
    const char *start = at;
    while (ok && at < end && *at != '"' && *at != '\\') at++;
    expect("\"");
    return Text{start, static_cast<size_t>(at - start - 1)};
  }
};

// Makes room for one more element of an array that grows by doubling.
template <typename T>
bool reserve(T **array, size_t count, size_t *capacity) {
  if (count < *capacity) return true;
  size_t more = *capacity == 0 ? 64 : *capacity * 2;
  if (more > SIZE_MAX / sizeof(T)) return false;
  T *grown = static_cast<T *>(realloc(*array, more * sizeof(T)));
  if (grown == nullptr) return false;
  *array = grown;
  *capacity = more;
  return true;
}

// {"offset":O,"size":S,"state":"used","left":L,"next":N,"prev":P,"name":...}
bool readBlock(Cursor &c, HeapRun *run) {
  if (!reserve(&run->changed, run->changedCount, &run->capacity[1])) return false;
  StepBlock &b = run->changed[run->changedCount];
  c.expect("{\"offset\":");
  b.offset = c.number();
  c.expect(",\"size\":");
  b.size = c.size();
  c.expect(",\"state\":\"");
  if (c.next('u'))
    c.expect("sed\""), b.state = BlockState::Used;
  else if (c.next('f') && c.next('r'))
    c.expect("ee\""), b.state = BlockState::Free;
  else
    c.expect("ence\""), b.state = BlockState::Fence;
  c.expect(",\"left\":");
  b.left = c.size();
  c.expect(",\"next\":");
  b.next = c.optional();
  c.expect(",\"prev\":");
  b.prev = c.optional();
  c.expect(",\"name\":");
  b.name = c.text();
  c.expect("}");
  run->changedCount++;
  return true;
}

bool readGone(Cursor &c, HeapRun *run) {
  if (!reserve(&run->gone, run->goneCount, &run->capacity[2])) return false;
  run->gone[run->goneCount++] = c.number();
  return true;
}

// Reads [element,...] with read, which returns false if memory ran out.
bool readArray(Cursor &c, HeapRun *run, bool (*read)(Cursor &, HeapRun *)) {
  c.expect("[");
  if (c.next(']')) return true;
  do
    if (!read(c, run)) return false;
  while (c.ok && c.next(','));
  c.expect("]");
  return true;
}

void readFigures(Cursor &c, Figures *f) {
  c.expect(",\"figures\":{\"usedBlocks\":");
  f->usedBlocks = c.size();
  c.expect(",\"usedBytes\":");
  f->usedBytes = c.size();
  c.expect(",\"payload\":");
  f->payload = c.size();
  c.expect(",\"freeBlocks\":");
  f->freeBlocks = c.size();
  c.expect(",\"freeBytes\":");
  f->freeBytes = c.size();
  c.expect(",\"largestFree\":");
  f->largestFree = c.size();
  c.expect("}");
}

void readFacts(Cursor &c, Facts *f) {
  c.expect(",\"what\":{\"length\":");
  f->length = c.optional();
  c.expect(",\"block\":");
  f->block = c.optional();
  c.expect(",\"fit\":");
  f->fit = c.optional();
  c.expect(",\"fitOffset\":");
  f->fitOffset = c.optional();
  c.expect(",\"fitSize\":");
  f->fitSize = c.optional();
  c.expect(",\"remainder\":");
  f->remainder = c.size();
  c.expect(",\"grew\":");
  f->grew = c.boolean();
  c.expect(",\"freed\":");
  f->freed = c.optional();
  c.expect(",\"into\":");
  f->into = c.optional();
  c.expect(",\"left\":");
  f->left = c.boolean();
  c.expect(",\"right\":");
  f->right = c.boolean();
  c.expect(",\"copied\":");
  f->copied = c.size();
  c.expect(",\"refused\":");
  f->refused = c.text();
  c.expect("}");
}

// Reads one step line; sets c.ok to false if it is not one. Returns false if memory ran out.
bool readStep(Cursor &c, HeapRun *run, Text message) {
  if (!reserve(&run->steps, run->stepCount, &run->capacity[0])) return false;
  Step s{};
  s.message = message;
  c.expect("{\"step\":");
  s.number = c.number();
  c.expect(",\"call\":");
  s.call = c.text();
  c.expect(",\"result\":");
  if (c.next('n')) {
    c.expect("ull");
  } else {
    s.hasResult = true;
    s.result = c.number();
  }
  c.expect(",\"errno\":");
  s.error = static_cast<int>(c.number());
  c.expect(",\"changed\":");
  s.firstChanged = run->changedCount;
  if (!readArray(c, run, readBlock)) return false;
  s.changedCount = run->changedCount - s.firstChanged;
  c.expect(",\"gone\":");
  s.firstGone = run->goneCount;
  if (!readArray(c, run, readGone)) return false;
  s.goneCount = run->goneCount - s.firstGone;
  c.expect(",\"head\":");
  s.head = c.optional();
  c.expect(",\"heap\":");
  s.heap = c.size();
  readFigures(c, &s.figures);
  readFacts(c, &s.what);
  c.expect(",\"say\":");
  s.say = c.text();
  c.expect("}");
  if (c.ok && c.at == c.end && s.call.start != nullptr && s.say.start != nullptr) {
    run->steps[run->stepCount++] = s;
  } else {  // drop what the broken line added
    c.ok = false;
    run->changedCount = s.firstChanged;
    run->goneCount = s.firstGone;
  }
  return true;
}

// The index of the first block of state at or above offset.
size_t lowerBound(const HeapState &state, long offset) {
  const StepBlock *b = std::lower_bound(state.blocks, state.blocks + state.count, offset,
                                        [](const StepBlock &x, long o) { return x.offset < o; });
  return static_cast<size_t>(b - state.blocks);
}

}  // namespace

bool readHeapRun(const char *output, size_t length, HeapRun *run) {
  const char *end = output + length;
  Text message{nullptr, 0};
  for (const char *line = output; line < end;) {
    const char *eol =
        static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (eol == nullptr) break;  // cut short
    size_t n = static_cast<size_t>(eol - line);
    if (n > 0 && line[0] == '{') {
      Cursor c{line, eol, true};
      if (!readStep(c, run, message)) return false;
      if (!c.ok) {
        run->unreadable = true;
        break;
      }
      message = Text{nullptr, 0};
    } else if (n >= sizeof kErrorPrefix - 1 &&
               memcmp(line, kErrorPrefix, sizeof kErrorPrefix - 1) == 0) {
      run->error = Text{line, n};
    } else if (message.start == nullptr) {
      message = Text{line, n};
    } else {  // the allocator's lines follow each other
      message.length = static_cast<size_t>(eol - message.start);
    }
    line = eol + 1;
  }
  return true;
}

void freeHeapRun(HeapRun *run) {
  free(run->steps);
  free(run->changed);
  free(run->gone);
  *run = HeapRun{};
}

const StepBlock *blockAt(const HeapState &state, long offset) {
  size_t i = lowerBound(state, offset);
  return i < state.count && state.blocks[i].offset == offset ? &state.blocks[i] : nullptr;
}

bool applyStep(HeapState *state, const HeapRun &run, const Step &step) {
  for (size_t g = 0; g < step.goneCount; g++) {
    size_t i = lowerBound(*state, run.gone[step.firstGone + g]);
    if (i == state->count || state->blocks[i].offset != run.gone[step.firstGone + g]) return false;
    memmove(state->blocks + i, state->blocks + i + 1, (state->count - i - 1) * sizeof(StepBlock));
    state->count--;
  }
  for (size_t k = 0; k < step.changedCount; k++) {
    const StepBlock &b = run.changed[step.firstChanged + k];
    size_t i = lowerBound(*state, b.offset);
    if (i == state->count || state->blocks[i].offset != b.offset) {
      if (!reserve(&state->blocks, state->count, &state->capacity)) return false;
      memmove(state->blocks + i + 1, state->blocks + i, (state->count - i) * sizeof(StepBlock));
      state->count++;
    }
    state->blocks[i] = b;
  }
  state->head = step.head;
  state->heap = step.heap;
  return true;
}

void freeHeapState(HeapState *state) {
  free(state->blocks);
  *state = HeapState{};
}

}  // namespace heapview
