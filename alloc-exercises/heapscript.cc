// Reads and checks a heap script with read(2) into fixed tables: nothing here allocates.
// A line holds one call, or nothing, or a comment; '#' starts a comment anywhere. A script whose
// first line is a lone number, or "a", "r" or "f" and a number, is an allocation trace as
// allocator courses hand them out: header lines of counts, then "a ID SIZE", "r ID SIZE" and
// "f ID", read as calls on the names ID.
#include "heapscript.h"

#include "plumbing.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr size_t kLineMax = 1024;     // bytes of a line before its comment
constexpr int kMaxWords = 6;          // "a = calloc 4 25" has five; one more is the error
constexpr size_t kEchoMax = 40;       // bytes of a word quoted in an error line
constexpr size_t kFaultBytesMax = 65536;  // bytes a fault line writes at most
// The limit as text, for the error line.
#define HEAPRUN_QUOTE(n) #n
#define HEAPRUN_TEXT(n) HEAPRUN_QUOTE(n)
constexpr size_t kNameSlots = powerAbove(2 * kMaxCalls);  // name lookup table, kept half empty
static_assert(kNameSlots > 2 * kMaxCalls && (kNameSlots & (kNameSlots - 1)) == 0);

struct Word {
  const char *text;
  size_t length;
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

bool same(const Word &w, const char *text) {
  return w.length == strlen(text) && memcmp(w.text, text, w.length) == 0;
}

bool isKeyword(const Word &w) {
  return same(w, "malloc") || same(w, "calloc") || same(w, "realloc") || same(w, "free") ||
         same(w, "free!") || same(w, "overflow") || same(w, "write") || same(w, "null");
}

// A name is a letter or '_', then letters, digits and '_'.
bool looksLikeName(const Word &w) {
  for (size_t i = 0; i < w.length; i++) {
    unsigned char c = static_cast<unsigned char>(w.text[i]);
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return w.length > 0;
}

// The word for an error line, in quotes unless it is a name: cut to kEchoMax bytes, anything
// but printable ASCII shown as '?'.
struct Echo {
  char text[kEchoMax + 6];
  explicit Echo(const Word &w, bool quoted = true) {
    size_t n = 0;
    if (quoted) text[n++] = '\'';
    for (size_t i = 0; i < w.length && i < kEchoMax; i++) {
      unsigned char c = static_cast<unsigned char>(w.text[i]);
      text[n++] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    if (w.length > kEchoMax) {
      memcpy(text + n, "...", 3);
      n += 3;
    }
    if (quoted) text[n++] = '\'';
    text[n] = '\0';
  }
};

// Reading state: the script being filled, and its names' lookup table.
struct Reader {
  Script *script;
  int slots[kNameSlots];  // index + 1 of the name whose hash lands here, 0 for none
  long line;
  bool decided;  // whether the first line has told script from trace
  bool trace;    // names are a trace's IDs: digits
};

bool isNumber(const Word &w) {
  for (size_t i = 0; i < w.length; i++)
    if (w.text[i] < '0' || w.text[i] > '9') return false;
  return w.length > 0;
}

size_t slotOf(const Reader &r, const Word &w, bool *found) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < w.length; i++) h = (h ^ static_cast<unsigned char>(w.text[i])) * 16777619u;
  for (size_t s = h & (kNameSlots - 1);; s = (s + 1) & (kNameSlots - 1)) {
    int index = r.slots[s] - 1;
    *found = index >= 0 && same(w, r.script->names[index]);
    if (index < 0 || *found) return s;
  }
}

void checkName(const Reader &r, const Word &w) {
  if (r.trace ? !isNumber(w) : !looksLikeName(w)) scriptError(r.line, "unknown word ", Echo(w).text, nullptr);
  if (isKeyword(w)) scriptError(r.line, Echo(w).text, " cannot be a name", nullptr);
  if (w.length > kNameMax)
    scriptError(r.line, "name ", Echo(w).text, " is longer than 32 characters", nullptr);
}

// The name a result is assigned to; a new name gets the next index.
int targetName(Reader &r, const Word &w) {
  checkName(r, w);
  bool found;
  size_t s = slotOf(r, w, &found);
  if (found) return r.slots[s] - 1;
  Script *sc = r.script;
  memcpy(sc->names[sc->nameCount], w.text, w.length);
  sc->names[sc->nameCount][w.length] = '\0';
  r.slots[s] = ++sc->nameCount;
  return sc->nameCount - 1;
}

// The pointer given to realloc or free: null, or a name assigned on an earlier line.
int sourceName(Reader &r, const Word &w, const char *call) {
  if (same(w, "null")) return kNoName;
  checkName(r, w);
  bool found;
  size_t s = slotOf(r, w, &found);
  if (!found)
    scriptError(r.line, call, " ", Echo(w, false).text,
                ": the name holds no block (never assigned)", nullptr);
  return r.slots[s] - 1;
}

size_t sizeWord(const Reader &r, const Word &w) {
  const char *what = "size ";
  if (w.length > 1 && w.text[0] == '-') {
    Word digits{w.text + 1, w.length - 1};
    bool number = true;
    for (size_t i = 0; i < digits.length; i++)
      number &= digits.text[i] >= '0' && digits.text[i] <= '9';
    if (number) scriptError(r.line, "negative ", what, Echo(w).text, nullptr);
  }
  size_t value = 0;
  for (size_t i = 0; i < w.length; i++) {
    char c = w.text[i];
    if (c < '0' || c > '9') scriptError(r.line, what, Echo(w).text, " is not a number", nullptr);
    if (__builtin_mul_overflow(value, size_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<size_t>(c - '0'), &value))
      scriptError(r.line, what, Echo(w).text, " does not fit in 64 bits", nullptr);
  }
  return value;
}

// A fault line: "free! NAME", "overflow NAME BYTES", "write NAME [BYTES]". The name must have
// been assigned before; whether it holds a block is the run's business.
void parseFault(Reader &r, const Word &verb, const Word *arg, int args, ScriptCall &call) {
  const char *word = same(verb, "free!") ? "free!" : same(verb, "overflow") ? "overflow" : "write";
  call.kind = word[0] == 'f' ? CallKind::FreeAgain
              : word[0] == 'o' ? CallKind::Overflow
                               : CallKind::Write;
  if (call.target != kNoName) scriptError(r.line, word, " has no result to assign", nullptr);
  if (args < 1) scriptError(r.line, word, " needs a name", nullptr);
  if (same(arg[0], "null")) scriptError(r.line, word, " needs a name, not null", nullptr);
  call.source = sourceName(r, arg[0], word);
  if (call.kind == CallKind::Overflow && args < 2)
    scriptError(r.line, "overflow needs a count of bytes after the name", nullptr);
  if (call.kind != CallKind::FreeAgain && args >= 2) {
    call.first = sizeWord(r, arg[1]);
    if (call.first == 0 || call.first > kFaultBytesMax)
      scriptError(r.line, word, " writes 1 to 65536 bytes, not ", Echo(arg[1]).text, nullptr);
  }
}

// Parses the words of one call line into the next call.
void parseCall(Reader &r, const Word *words, int count) {
  Script *sc = r.script;
  if (sc->callCount == kMaxCalls) scriptError(r.line, "more than " HEAPRUN_TEXT(HEAPRUN_MAX_CALLS) " calls", nullptr);
  ScriptCall &call = sc->calls[sc->callCount];
  call = ScriptCall{CallKind::Malloc, kNoName, kNoName, 0, 0, r.line};
  int at = 0;
  if (count >= 2 && same(words[1], "=")) {
    call.target = targetName(r, words[0]);
    at = 2;
    if (count == 2) scriptError(r.line, "nothing after '='", nullptr);
  } else if (same(words[0], "=")) {
    scriptError(r.line, "'=' needs a name before it", nullptr);
  }
  const Word &verb = words[at];
  int args = count - at - 1;
  const Word *arg = words + at + 1;
  int wanted;
  if (same(verb, "malloc")) {
    wanted = 1;
    if (args < wanted) scriptError(r.line, "malloc needs a size", nullptr);
    call.first = sizeWord(r, arg[0]);
  } else if (same(verb, "calloc")) {
    call.kind = CallKind::Calloc;
    wanted = 2;
    if (args < wanted) scriptError(r.line, "calloc needs a count and a size", nullptr);
    call.first = sizeWord(r, arg[0]);
    call.second = sizeWord(r, arg[1]);
  } else if (same(verb, "realloc")) {
    call.kind = CallKind::Realloc;
    wanted = 2;
    if (args < 1) scriptError(r.line, "realloc needs a name (or null) and a size", nullptr);
    call.source = sourceName(r, arg[0], "realloc");
    if (args < wanted) scriptError(r.line, "realloc needs a size after the name", nullptr);
    call.first = sizeWord(r, arg[1]);
  } else if (same(verb, "free")) {
    call.kind = CallKind::Free;
    wanted = 1;
    if (call.target != kNoName) scriptError(r.line, "free has no result to assign", nullptr);
    if (args < wanted) scriptError(r.line, "free needs a name (or null)", nullptr);
    call.source = sourceName(r, arg[0], "free");
  } else if (same(verb, "free!") || same(verb, "overflow") || same(verb, "write")) {
    parseFault(r, verb, arg, args, call);
    wanted = call.kind == CallKind::FreeAgain ? 1 : 2;
    if (call.kind == CallKind::Write && args == 1) wanted = 1;
  } else {
    scriptError(r.line, "unknown word ", Echo(verb).text, nullptr);
  }
  if (args > wanted) scriptError(r.line, "unexpected ", Echo(arg[wanted]).text, nullptr);
  sc->callCount++;
}

// One line of a trace as the call it stands for: "a ID SIZE" as ID = malloc SIZE, "r ID SIZE"
// as ID = realloc ID SIZE, "f ID" as free ID. Lone numbers before the first call are its header.
void parseTraceLine(Reader &r, const Word *words, int count) {
  if (count == 1 && isNumber(words[0])) {
    if (r.script->callCount > 0)
      scriptError(r.line, "a header line of the trace after its first call", nullptr);
    return;
  }
  const Word equals{"=", 1}, toMalloc{"malloc", 6}, toRealloc{"realloc", 7}, toFree{"free", 4};
  if (same(words[0], "a") && count == 3) {
    const Word call[] = {words[1], equals, toMalloc, words[2]};
    parseCall(r, call, 4);
  } else if (same(words[0], "r") && count == 3) {
    const Word call[] = {words[1], equals, toRealloc, words[1], words[2]};
    parseCall(r, call, 5);
  } else if (same(words[0], "f") && count == 2) {
    const Word call[] = {toFree, words[1]};
    parseCall(r, call, 2);
  } else {
    scriptError(r.line, "a trace line is \"a ID SIZE\", \"r ID SIZE\" or \"f ID\", not ",
                Echo(words[0]).text, nullptr);
  }
}

// Splits a line (without its comment) into words; '=' is a word of its own.
void parseLine(Reader &r, const char *text, size_t length) {
  Word words[kMaxWords + 1];
  int count = 0;
  for (size_t i = 0; i < length;) {
    if (isBlank(text[i])) {
      i++;
      continue;
    }
    size_t start = i;
    if (text[i] == '=') {
      i++;
    } else {
      while (i < length && !isBlank(text[i]) && text[i] != '=') i++;
    }
    if (count == kMaxWords + 1) break;
    words[count++] = Word{text + start, i - start};
  }
  if (count == 0) return;
  if (count > kMaxWords) scriptError(r.line, "unexpected ", Echo(words[kMaxWords]).text, nullptr);
  if (!r.decided) {
    r.decided = true;
    r.trace = (count == 1 && isNumber(words[0])) ||
              (count >= 2 && words[0].length == 1 && strchr("arf", words[0].text[0]) != nullptr &&
               isNumber(words[1]));
  }
  if (r.trace) {
    parseTraceLine(r, words, count);
  } else {
    parseCall(r, words, count);
  }
}

Reader reader;  // large: kept out of the stack

}  // namespace

void writeAllOrExit(int fd, const char *buf, size_t len) {
  if (writeAll(fd, buf, len) != 0) _exit(1);  // nowhere left to report it
}

void lineError(int status, long line, const char *text, ...) {
  char message[512];
  size_t n = 0;
  auto append = [&](const char *s) {
    size_t len = strlen(s);
    if (len > sizeof message - 1 - n) len = sizeof message - 1 - n;
    memcpy(message + n, s, len);
    n += len;
  };
  append("heaprun: line ");
  append(Decimal::of(line).text);
  append(": ");
  va_list ap;
  va_start(ap, text);
  for (const char *s = text; s != nullptr; s = va_arg(ap, const char *)) append(s);
  va_end(ap);
  message[n++] = '\n';
  writeAllOrExit(STDERR_FILENO, message, n);
  _exit(status);
}

void readScript(int fd, Script *script) {
  Reader &r = reader;
  r.script = script;
  r.decided = r.trace = false;
  script->callCount = script->nameCount = 0;
  r.line = 1;
  static char input[65536];
  char text[kLineMax];
  size_t length = 0;     // bytes of the line kept in text
  bool comment = false;  // the rest of the line is a comment
  for (;;) {
    ssize_t got = read(fd, input, sizeof input);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      static const char kReadFailed[] = "heaprun: read: cannot read the script\n";
      writeAllOrExit(STDERR_FILENO, kReadFailed, sizeof kReadFailed - 1);
      _exit(1);
    }
    for (ssize_t i = 0; i < got; i++) {
      char c = input[i];
      if (c == '\0') scriptError(r.line, "NUL byte: a script is text", nullptr);
      if (c == '\n') {
        parseLine(r, text, length);
        r.line++;
        length = 0;
        comment = false;
      } else if (c == '#') {
        comment = true;
      } else if (!comment) {
        if (length == sizeof text) scriptError(r.line, "line longer than 1024 bytes", nullptr);
        text[length++] = c;
      }
    }
    if (got == 0) break;
  }
  parseLine(r, text, length);
}
