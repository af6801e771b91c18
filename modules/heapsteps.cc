// Reads heaprun's JSON lines back. heaprun writes one fixed shape, so this reads exactly that
// shape, field by field, and treats anything else as unreadable.
#include "heapsteps.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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

// The opening of a block or a free-list entry: {"offset":O,"size":S
void readPlace(Cursor &c, long *offset, size_t *size) {
  c.expect("{\"offset\":");
  *offset = c.number();
  c.expect(",\"size\":");
  *size = c.size();
}

bool readBlock(Cursor &c, HeapRun *run) {
  if (!reserve(&run->blocks, run->blockCount, &run->capacity[1])) return false;
  StepBlock &b = run->blocks[run->blockCount];
  readPlace(c, &b.offset, &b.size);
  c.expect(",\"state\":\"");
  if (c.next('u'))
    c.expect("sed\""), b.state = BlockState::Used;
  else if (c.next('f') && c.next('r'))
    c.expect("ee\""), b.state = BlockState::Free;
  else
    c.expect("ence\""), b.state = BlockState::Fence;
  c.expect(",\"name\":");
  b.name = c.text();
  c.expect("}");
  run->blockCount++;
  return true;
}

bool readFree(Cursor &c, HeapRun *run) {
  if (!reserve(&run->frees, run->freeCount, &run->capacity[2])) return false;
  FreeEntry &f = run->frees[run->freeCount];
  readPlace(c, &f.offset, &f.size);
  c.expect("}");
  run->freeCount++;
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
  c.expect(",\"blocks\":");
  s.firstBlock = run->blockCount;
  if (!readArray(c, run, readBlock)) return false;
  s.blockCount = run->blockCount - s.firstBlock;
  c.expect(",\"free\":");
  s.firstFree = run->freeCount;
  if (!readArray(c, run, readFree)) return false;
  s.freeCount = run->freeCount - s.firstFree;
  c.expect(",\"heap\":");
  s.heap = c.size();
  c.expect("}");
  if (c.ok && c.at == c.end && s.call.start != nullptr) {
    run->steps[run->stepCount++] = s;
  } else {  // drop what the broken line added
    c.ok = false;
    run->blockCount = s.firstBlock;
    run->freeCount = s.firstFree;
  }
  return true;
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
  free(run->blocks);
  free(run->frees);
  *run = HeapRun{};
}

}  // namespace heapview
