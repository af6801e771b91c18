// heaptrace: reads a recording that MYMALLOC_TRACE=FILE made of a program's allocation calls
// (docs/heaprun.md), checks it whole, and writes it as the course's allocation trace, which
// heaprun and the heap explorer read; or names calling addresses from the modules' ELF symbol
// tables, for the explorer's timeline.
//
// Usage: heaptrace --check FILE     (a line of what the recording holds, or why it is refused)
//        heaptrace --calls FILE     (every call in order: thread, call, sizes, pointers, caller)
//        heaptrace --script FILE    (the calls as "a ID SIZE", "r ID SIZE", "f ID" lines)
//        heaptrace --names          (lines "PATH OFFSET" in; a JSON array of function names out)
//
// A recording that breaks a rule is refused with one line on standard error, "heaptrace: FILE:
// record N: why", and status 2. A recording cut short (by _exit or a kill, which can stop a
// write at any page of the file, between a call's two records) is read up to its last whole
// call.
#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "MyMallocLayout.h"
#include "MyMallocTrace.h"

using namespace mymalloc::trace;

namespace {

constexpr int kRefused = 2;

const char *fileName = "-";

[[noreturn]] void refuse(size_t record, const char *format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "heaptrace: %s: record %zu: ", fileName, record);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(kRefused);
}

// A call as the reader keeps it, its two records unpacked.
struct Call {
  uint64_t seq, before;  // before: realloc's sequence taken before the call
  uint8_t kind;
  uint32_t thread;
  uint64_t size, extra, given, result, caller;
  size_t record;  // its place in the file, the header being record 0
};

struct Module {
  uint64_t seq, bias, lo, hi;
  std::string path;
};

struct Recording {
  Header header;
  std::vector<Call> calls;  // calls and exec records, by sequence
  std::vector<Module> modules;  // as recorded
  size_t threads = 0, cutBytes = 0;
};

bool isCall(uint8_t kind) { return kind >= kMalloc && kind <= kLastCall; }
bool returnsBlock(uint8_t kind) { return isCall(kind) && kind != kFree; }

// Reads and checks every record; the calls come out in sequence order.
Recording readRecording(const char *path) {
  fileName = path;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    fprintf(stderr, "heaptrace: %s: %s\n", path, strerror(errno));
    exit(1);
  }
  size_t length = static_cast<size_t>(st.st_size);
  if (length < sizeof(Header)) refuse(0, "%zu bytes: too short for the header", length);
  const void *map = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    perror("mmap");
    exit(1);
  }
  const auto *bytes = static_cast<const unsigned char *>(map);
  Recording rec;
  memcpy(&rec.header, bytes, sizeof rec.header);
  const Header &h = rec.header;
  if (memcmp(h.magic, kMagic, sizeof kMagic) != 0) refuse(0, "not a MYMALLOC_TRACE recording");
  if (h.version != kVersion) refuse(0, "version %u; this reader knows %u", h.version, kVersion);
  if (h.recordSize != sizeof(Record))
    refuse(0, "records of %u bytes; this reader knows %zu", h.recordSize, sizeof(Record));
  size_t count = length / sizeof(Record);
  rec.cutBytes = length % sizeof(Record);
  std::unordered_map<uint32_t, bool> threads;
  uint32_t thread = 0;
  auto at = [&](size_t i) {
    Record r;
    memcpy(&r, bytes + i * sizeof(Record), sizeof r);
    return r;
  };
  for (size_t i = 1; i < count; i++) {
    Record r = at(i);
    uint8_t kind = kindOf(r);
    uint64_t seq = seqOf(r);
    if (kind == kThread) {
      if (r.a == 0 || r.a > UINT32_MAX) refuse(i, "thread %llu", static_cast<unsigned long long>(r.a));
      thread = static_cast<uint32_t>(r.a);
      continue;
    }
    if (!isCall(kind) && kind != kExec && kind != kModule)
      refuse(i, kind == kExtra ? "a second record without its first" : "unknown kind %u", kind);
    if (seq == 0 || seq >= kSeqLimit)
      refuse(i, "sequence %llu past any limit", static_cast<unsigned long long>(seq));
    Record extra{};
    if (kind == kModule || (isCall(kind) && hasExtra(kind))) {
      if (i + 1 >= count) {  // the file ends between its records: the cut
        rec.cutBytes += (count - i) * sizeof(Record);
        break;
      }
      extra = at(i + 1);
      if (kindOf(extra) != kExtra) refuse(i + 1, "not the second record of the one before");
    }
    if (kind == kModule) {
      uint64_t pathLength = extra.a;
      size_t parts = (pathLength + sizeof(Record) - 1) / sizeof(Record);
      if (pathLength == 0 || pathLength > kPathMax)
        refuse(i, "a module's path of %llu bytes (1 to %zu)",
               static_cast<unsigned long long>(pathLength), kPathMax);
      if (i + 1 + parts >= count) {  // the file ends inside its path: the cut
        rec.cutBytes += (count - i) * sizeof(Record);
        break;
      }
      if (r.b >= r.c || r.c > kAddressLimit)
        refuse(i, "a module's code range is not a range of addresses");
      const char *path = reinterpret_cast<const char *>(bytes) + (i + 2) * sizeof(Record);
      if (memchr(path, 0, pathLength) != nullptr) refuse(i, "a NUL byte in a module's path");
      rec.modules.push_back(Module{seq, r.a, r.b, r.c, std::string(path, pathLength)});
      i += 1 + parts;
      continue;
    }
    if (thread == 0) refuse(i, "a call before any thread record");
    Call c{seq, 0, kind, thread, 0, 0, 0, 0, 0, i};
    if (kind == kFree) {
      c.given = r.a;
      c.caller = r.c;
    } else if (kind != kExec) {
      c.size = r.a;
      c.result = r.b;
      c.caller = r.c;
      if (kind == kRealloc) c.given = extra.a, c.before = extra.b;
      else c.extra = extra.a;
    }
    if (hasExtra(kind) && kind != kExec) i++;
    if (kind == kExec) {
      rec.calls.push_back(c);
      continue;
    }
    if (c.given >= kAddressLimit || c.result >= kAddressLimit || c.caller >= kAddressLimit)
      refuse(c.record, "an address past any process's address space");
    if (c.result % 8 != 0) refuse(c.record, "a block at 0x%llx, which is not 8-byte aligned",
                                  static_cast<unsigned long long>(c.result));
    uint64_t total = c.size;
    if (kind == kCalloc && __builtin_mul_overflow(c.size, c.extra, &total)) total = UINT64_MAX;
    if (c.result != 0 && total >= kBlockLimit)
      refuse(c.record, "a block of %llu bytes returned, more than any machine holds",
             static_cast<unsigned long long>(total));
    if (kind == kRealloc && c.before >= c.seq)
      refuse(c.record, "a realloc that ends before it begins");
    threads[thread] = true;
    rec.calls.push_back(c);
  }
  munmap(const_cast<void *>(map), length);
  rec.threads = threads.size();
  std::stable_sort(rec.calls.begin(), rec.calls.end(),
                   [](const Call &a, const Call &b) { return a.seq < b.seq; });
  for (size_t k = 1; k < rec.calls.size(); k++)
    if (rec.calls[k].seq == rec.calls[k - 1].seq)
      refuse(rec.calls[k].record, "sequence %llu also at record %zu",
             static_cast<unsigned long long>(rec.calls[k].seq), rec.calls[k - 1].record);
  return rec;
}

// A realloc that moves hands its old block back inside the call, after the sequence it took
// before and before the one it took after: another thread's malloc may reuse the address in
// between. Such a realloc is moved to just before that malloc.
bool settleRace(std::vector<Call> &calls, size_t at, uint64_t address) {
  uint64_t seq = calls[at].seq;
  for (size_t k = at + 1; k < calls.size() && k < at + kRaceWindow; k++) {
    const Call &r = calls[k];
    if (r.kind == kRealloc && r.given == address && r.before < seq) {
      std::rotate(calls.begin() + static_cast<long>(at), calls.begin() + static_cast<long>(k),
                  calls.begin() + static_cast<long>(k) + 1);
      return true;
    }
  }
  return false;
}

// What a replay of the recording meets: each call's block by address, from its first call to
// the end (or to the exec that ends the program).
struct Replay {
  std::unordered_map<uint64_t, size_t> live;  // address -> the record that returned it
  std::unordered_map<uint64_t, size_t> freed; // address -> the record that freed it
  size_t inherited = 0;  // frees of blocks from before the recording (a child's parent's)
  size_t lastExec = 0;   // index of the first call of the last program
};

// Walks the calls in order and refuses one that no program could make: a free of a block
// that no call returned (unless the recording began with blocks already held), a block
// returned while its address is held.
Replay replay(Recording &rec) {
  Replay rp;
  bool held = (rec.header.flags & kForked) != 0;
  for (size_t k = 0; k < rec.calls.size(); k++) {
    const Call &r = rec.calls[k];
    size_t record = r.record;
    if (r.kind == kExec) {
      rp.live.clear();
      rp.freed.clear();
      rp.lastExec = k + 1;
      held = false;
      continue;
    }
    bool fresh = returnsBlock(r.kind) && r.result != 0 && r.result != r.given;
    if (fresh && rp.live.count(r.result) != 0 && settleRace(rec.calls, k, r.result)) {
      k--;  // the realloc now stands here
      continue;
    }
    bool frees = r.kind == kFree || (r.kind == kRealloc && r.given != 0 && r.result != 0 &&
                                     r.result != r.given) ||
                 (r.kind == kRealloc && r.given != 0 && r.size == 0);
    if ((r.kind == kFree || r.kind == kRealloc) && r.given != 0) {
      if (rp.live.count(r.given) == 0) {
        auto f = rp.freed.find(r.given);
        if (held && f == rp.freed.end()) {
          rp.inherited++;
          rp.live[r.given] = 0;
        } else if (f != rp.freed.end()) {
          refuse(record, "%s of 0x%llx, freed already at record %zu",
                 r.kind == kFree ? "free" : "realloc", static_cast<unsigned long long>(r.given),
                 f->second);
        } else {
          refuse(record, "%s of 0x%llx, which no call returned",
                 r.kind == kFree ? "free" : "realloc", static_cast<unsigned long long>(r.given));
        }
      }
    }
    if (frees) {
      rp.live.erase(r.given);
      rp.freed[r.given] = record;
    }
    if (fresh) {
      if (rp.live.count(r.result) != 0) {
        refuse(record, "a block at 0x%llx returned while record %zu's block is there",
               static_cast<unsigned long long>(r.result), rp.live[r.result]);
      }
      rp.live[r.result] = record;
      rp.freed.erase(r.result);
    }
  }
  return rp;
}

void check(const char *path) {
  Recording rec = readRecording(path);
  Replay rp = replay(rec);
  size_t byKind[kLastCall + 1] = {};
  size_t execs = 0;
  for (const Call &c : rec.calls) {
    if (c.kind == kExec) execs++;
    else byKind[c.kind]++;
  }
  printf("%s: process %u%s, %zu calls from %zu thread%s, %zu modules", path, rec.header.pid,
         (rec.header.flags & kForked) != 0 ? " (a child of fork)" : "",
         rec.calls.size() - execs, rec.threads, rec.threads == 1 ? "" : "s", rec.modules.size());
  for (int k = kMalloc; k <= kLastCall; k++)
    if (byKind[k] != 0) printf(", %s %zu", kKindNames[k], byKind[k]);
  if (execs != 0) printf(", %zu exec%s", execs, execs == 1 ? "" : "s");
  if (rp.inherited != 0) printf(", %zu blocks from before the recording freed", rp.inherited);
  printf(", %zu blocks never freed", rp.live.size());
  if (rec.cutBytes != 0) printf("; cut short: %zu bytes after the last whole call", rec.cutBytes);
  printf("\n");
}

// The calls of the recording's last program as the course's allocation trace: each block an
// ID of its own, kept through realloc. A request that the classic allocator refuses (0 bytes, or
// more than a chunk holds) is written all the same, to be shown refused; as its ID then holds
// no block, its block's later free is left out and a realloc of it becomes an "a" line.
void script(const char *path) {
  Recording rec = readRecording(path);
  Replay rp = replay(rec);
  std::unordered_map<uint64_t, std::pair<size_t, bool>> ids;  // address -> ID, refused
  std::string out;
  size_t nextId = 0, ops = 0;
  auto refusedOnClassic = [](uint64_t n) { return n == 0 || n > mymalloc::kLargestRequest; };
  auto line = [&](char op, size_t id, uint64_t size, bool withSize) {
    char text[64];
    int n = withSize ? snprintf(text, sizeof text, "%c %zu %llu\n", op, id,
                                static_cast<unsigned long long>(size))
                     : snprintf(text, sizeof text, "%c %zu\n", op, id);
    out.append(text, static_cast<size_t>(n));
    ops++;
  };
  for (size_t k = rp.lastExec; k < rec.calls.size(); k++) {
    const Call &r = rec.calls[k];
    uint64_t size = r.size;
    if (r.kind == kCalloc && __builtin_mul_overflow(r.size, r.extra, &size)) size = UINT64_MAX;
    bool fromBlock = (r.kind == kFree || r.kind == kRealloc) && r.given != 0;
    auto it = fromBlock ? ids.find(r.given) : ids.end();
    if (fromBlock && it == ids.end()) continue;  // a block from before the recording
    if (r.kind == kFree || (r.kind == kRealloc && r.given != 0 && r.size == 0)) {
      if (it != ids.end()) {
        if (!it->second.second) line('f', it->second.first, 0, false);
        ids.erase(it);
      }
      continue;
    }
    if (r.kind == kRealloc && r.given != 0) {
      if (r.result == 0) continue;  // refused: the block stays where it was
      auto [id, refused] = it->second;
      ids.erase(it);
      line(refused ? 'a' : 'r', id, size, true);
      ids[r.result] = {id, refusedOnClassic(size)};
      continue;
    }
    // A call that returns a new block (realloc of null included).
    size_t id = nextId++;
    line('a', id, size, true);
    if (r.result != 0) ids[r.result] = {id, refusedOnClassic(size)};
  }
  printf("0\n%zu\n%zu\n1\n", nextId, ops);
  fwrite(out.data(), 1, out.size(), stdout);
}

// The module that held address at sequence seq: the last one recorded before it that holds
// the address, or failing that the first recorded after (modules are recorded when a buffer
// is written, which may come after the module's first calls).
const Module *moduleAt(const Recording &rec, uint64_t address, uint64_t seq) {
  const Module *found = nullptr;
  for (const Module &m : rec.modules) {
    if (found != nullptr && m.seq > seq) break;
    if (address >= m.lo && address < m.hi) found = &m;
  }
  return found;
}

// Every call in sequence order, one a line: thread, call, size (calloc: count and size;
// aligned calls: size and alignment), the pointer given, the result, and the caller as
// module+0xOFFSET.
void calls(const char *path) {
  Recording rec = readRecording(path);
  replay(rec);
  for (const Call &r : rec.calls) {
    if (r.kind == kExec) {
      printf("%u exec\n", r.thread);
      continue;
    }
    printf("%u %s %llu", r.thread, kKindNames[r.kind], static_cast<unsigned long long>(r.size));
    if (r.kind == kCalloc || (r.kind >= kAlignedAlloc && r.kind <= kPvalloc))
      printf(" %llu", static_cast<unsigned long long>(r.extra));
    printf(" 0x%llx 0x%llx ", static_cast<unsigned long long>(r.given),
           static_cast<unsigned long long>(r.result));
    const Module *m = moduleAt(rec, r.caller, r.seq);
    if (m == nullptr) {
      printf("0x%llx\n", static_cast<unsigned long long>(r.caller));
    } else {
      const char *slash = strrchr(m->path.c_str(), '/');
      printf("%s+0x%llx\n", slash != nullptr ? slash + 1 : m->path.c_str(),
             static_cast<unsigned long long>(r.caller - m->bias));
    }
  }
}

// ---- Function names from ELF symbol tables ----

struct Symbols {
  struct Entry {
    uint64_t value, size;
    std::string name;
  };
  std::vector<Entry> entries;  // by value
};

// The functions of one symbol table section, bounds-checked against the file.
void takeTable(const unsigned char *file, size_t length, const Elf64_Shdr *sections, size_t count,
               const Elf64_Shdr &table, Symbols *out) {
  if (table.sh_link >= count || table.sh_entsize != sizeof(Elf64_Sym)) return;
  const Elf64_Shdr &strings = sections[table.sh_link];
  if (table.sh_offset > length || table.sh_size > length - table.sh_offset ||
      strings.sh_offset > length || strings.sh_size > length - strings.sh_offset)
    return;
  const char *names = reinterpret_cast<const char *>(file + strings.sh_offset);
  size_t n = table.sh_size / sizeof(Elf64_Sym);
  for (size_t i = 0; i < n; i++) {
    Elf64_Sym s;
    memcpy(&s, file + table.sh_offset + i * sizeof s, sizeof s);
    int type = ELF64_ST_TYPE(s.st_info);
    if ((type != STT_FUNC && type != STT_GNU_IFUNC) || s.st_value == 0 ||
        s.st_name >= strings.sh_size)
      continue;
    const char *name = names + s.st_name;
    size_t len = strnlen(name, strings.sh_size - s.st_name);
    out->entries.push_back({s.st_value, s.st_size, std::string(name, len)});
  }
}

// .symtab when the file has one (a program built with -g, or not stripped), else .dynsym.
Symbols readSymbols(const std::string &path) {
  Symbols syms;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 64) {
    if (fd >= 0) close(fd);
    return syms;
  }
  size_t length = static_cast<size_t>(st.st_size);
  void *map = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return syms;
  const auto *file = static_cast<const unsigned char *>(map);
  Elf64_Ehdr eh;
  memcpy(&eh, file, sizeof eh);
  if (memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 && eh.e_ident[EI_CLASS] == ELFCLASS64 &&
      eh.e_shentsize == sizeof(Elf64_Shdr) && eh.e_shoff <= length &&
      eh.e_shnum <= (length - eh.e_shoff) / sizeof(Elf64_Shdr)) {
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    memcpy(sections.data(), file + eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr));
    for (uint32_t type : {SHT_SYMTAB, SHT_DYNSYM}) {
      for (const Elf64_Shdr &s : sections)
        if (s.sh_type == type) takeTable(file, length, sections.data(), sections.size(), s, &syms);
      if (!syms.entries.empty()) break;
    }
  }
  munmap(map, length);
  std::sort(syms.entries.begin(), syms.entries.end(),
            [](const Symbols::Entry &a, const Symbols::Entry &b) { return a.value < b.value; });
  return syms;
}

// The function that holds offset (a return address: the call is the byte before it).
const std::string *functionAt(const Symbols &syms, uint64_t offset) {
  uint64_t at = offset == 0 ? 0 : offset - 1;
  auto it = std::upper_bound(syms.entries.begin(), syms.entries.end(), at,
                             [](uint64_t v, const Symbols::Entry &e) { return v < e.value; });
  if (it == syms.entries.begin()) return nullptr;
  --it;
  // Among symbols at one address, one with a size that covers the offset.
  for (auto k = it;; --k) {
    if (k->value != it->value) break;
    if (k->size != 0 && at < k->value + k->size) return &k->name;
    if (k == syms.entries.begin()) break;
  }
  return it->size == 0 ? &it->name : nullptr;
}

// Writes s as a JSON string that may stand in a page: quotes, backslashes, controls and
// markup escaped; a byte outside ASCII (no symbol name holds one) becomes '?'.
void putJsonString(std::string &out, const std::string &s) {
  out += '"';
  for (unsigned char c : s) {
    if (c >= 0x80) {
      out += '?';
    } else if (c == '"' || c == '\\' || c < 0x20 || c == '<' || c == '>' || c == '&') {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// Reads "PATH OFFSET" lines (OFFSET in hexadecimal, 0x optional) and writes one JSON array: the
// function's name for each line (C++ names demangled), or null.
void names() {
  std::map<std::string, Symbols> cache;
  std::string out = "[";
  char *lineText = nullptr;
  size_t room = 0;
  bool first = true;
  while (getline(&lineText, &room, stdin) > 0) {
    std::string text(lineText);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t space = text.rfind(' ');
    const std::string *name = nullptr;
    if (space != std::string::npos && space > 0 && text[0] == '/') {
      std::string path = text.substr(0, space);
      char *end = nullptr;
      unsigned long long offset = strtoull(text.c_str() + space + 1, &end, 16);
      if (end != nullptr && *end == '\0') {
        auto it = cache.find(path);
        if (it == cache.end()) it = cache.emplace(path, readSymbols(path)).first;
        name = functionAt(it->second, offset);
      }
    }
    out += first ? "" : ",";
    first = false;
    if (name == nullptr) {
      out += "null";
      continue;
    }
    int status = 0;
    char *demangled = abi::__cxa_demangle(name->c_str(), nullptr, nullptr, &status);
    putJsonString(out, status == 0 && demangled != nullptr ? std::string(demangled) : *name);
    free(demangled);
  }
  free(lineText);
  out += "]\n";
  fwrite(out.data(), 1, out.size(), stdout);
}

[[noreturn]] void usage() {
  fprintf(stderr,
          "Usage: heaptrace --check FILE | --calls FILE | --script FILE | --names < \"PATH "
          "OFFSET\" lines\n");
  exit(kRefused);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--names") == 0) {
    names();
    return 0;
  }
  if (argc != 3) usage();
  if (strcmp(argv[1], "--check") == 0) check(argv[2]);
  else if (strcmp(argv[1], "--script") == 0) script(argv[2]);
  else if (strcmp(argv[1], "--calls") == 0) calls(argv[2]);
  else usage();
  return 0;
}
