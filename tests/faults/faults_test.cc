// Each fault of tests/faults/fault.c at each size, on glibc's malloc (the bar), on
// libmymalloc.so with no setting and with MYMALLOC_CHECK=1, and with the allocator compiled in
// and MYMALLOC_CHECK=1. A run fails if it crashes inside an allocator call, hands one block out
// twice, passes silently where glibc reports, or misses a report that its setting promises; a
// report must name the call that met the fault, which addr2line takes back to its line.

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <regex>
#include <string>

#include "child.h"
#include "gtest/gtest.h"

namespace {

enum class Runtime { kGlibc, kPreload, kPreloadCheck, kCompiledInCheck };

// How a run ended.
enum class End {
  kReported,          // aborted after one line on standard error
  kSilent,            // went on to its end: the fault passed unnoticed
  kTwice,             // one block handed out to two owners
  kCrashInAllocator,  // a signal inside an allocator call
  kCrashInProgram,    // a signal at the program's own access of memory it does not own
  kOther,             // anything else: no marker, a timeout, an abort without a line
};

const char *endName(End e) {
  switch (e) {
    case End::kReported: return "reported";
    case End::kSilent: return "silent";
    case End::kTwice: return "handed out twice";
    case End::kCrashInAllocator: return "crash inside the allocator";
    case End::kCrashInProgram: return "crash at the program's own access";
    case End::kOther: return "other";
  }
  return "?";
}

struct Outcome {
  End end = End::kOther;
  std::string report;  // the report's line, without its newline
  std::string marker;  // the last "call L" or "touch L"
  int line = 0;        // its L
  std::string out, err;
  int status = -1;
};

Outcome run(Runtime runtime, const std::string &fault, const std::string &size) {
  const char *program = runtime == Runtime::kCompiledInCheck ? FAULT_COMPILED_IN : FAULT;
  // glibc writes its reports to the terminal unless told otherwise.
  setenv("LIBC_FATAL_STDERR_", "1", 1);
  if (runtime == Runtime::kPreload || runtime == Runtime::kPreloadCheck)
    setenv("LD_PRELOAD", LIBMYMALLOC, 1);
  if (runtime == Runtime::kPreloadCheck || runtime == Runtime::kCompiledInCheck)
    setenv("MYMALLOC_CHECK", "1", 1);
  ChildResult r = runProgram({program, fault, size}, 20000);
  unsetenv("LD_PRELOAD");
  unsetenv("MYMALLOC_CHECK");

  Outcome o;
  o.out = r.out;
  o.err = r.err;
  o.status = r.status;
  static const std::regex marker("(call|touch) (\\d+)");
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = r.out.substr(at, end - at);
    std::smatch m;
    if (std::regex_match(line, m, marker)) {
      o.marker = m[1];
      o.line = std::stoi(m[2]);
    }
  }
  size_t newline = r.err.find('\n');
  if (newline != std::string::npos && newline + 1 == r.err.size())
    o.report = r.err.substr(0, newline);
  if (r.status == -1) {
    o.end = End::kOther;
  } else if (WIFEXITED(r.status)) {
    bool survived = r.out.find("survived\n") != std::string::npos;
    if (WEXITSTATUS(r.status) == 4 && r.out.find("handed out twice\n") != std::string::npos)
      o.end = End::kTwice;
    else if (WEXITSTATUS(r.status) == 0 && survived)
      o.end = End::kSilent;
  } else if (WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT) {
    if (!o.report.empty()) o.end = End::kReported;
  } else if (WIFSIGNALED(r.status) && !o.marker.empty()) {
    o.end = o.marker == "call" ? End::kCrashInAllocator : End::kCrashInProgram;
  }
  return o;
}

std::string describe(const Outcome &o) {
  return std::string(endName(o.end)) + " (status " + std::to_string(o.status) + ", last marker " +
         o.marker + " " + std::to_string(o.line) + ")\nstdout:\n" + o.out + "stderr:\n" + o.err;
}

// ---- glibc: what it does with each fault (Debian 12, glibc 2.36) ----

struct GlibcEnd {
  const char *fault;
  const char *size;
  End end;
  const char *report;  // for kReported: glibc's line
  bool varies;         // reports or crashes, as the stack's contents happen to be
};

constexpr End R = End::kReported, S = End::kSilent, T = End::kTwice, C = End::kCrashInAllocator,
              P = End::kCrashInProgram;
const GlibcEnd kGlibc[] = {
    {"double-free", "small", R, "free(): double free detected in tcache 2", false},
    {"double-free", "4k", R, "double free or corruption (top)", false},
    {"double-free", "256k", C, "", false},
    {"double-free-delayed", "small", R, "free(): double free detected in tcache 2", false},
    {"double-free-delayed", "4k", R, "double free or corruption (top)", false},
    {"double-free-delayed", "256k", C, "", false},
    {"double-free-interleaved", "small", R, "free(): double free detected in tcache 2", false},
    {"double-free-interleaved", "4k", R, "double free or corruption (top)", false},
    {"double-free-interleaved", "256k", C, "", false},
    {"double-free-after-reuse", "small", R, "free(): double free detected in tcache 2", false},
    {"double-free-after-reuse", "4k", S, "", false},
    {"double-free-after-reuse", "256k", C, "", false},
    // The write takes the tcache's key: the second free passes, and the block goes out twice.
    {"double-free-written", "small", T, "", false},
    {"double-free-written", "4k", R, "double free or corruption (top)", false},
    {"double-free-written", "256k", P, "", false},
    {"invalid-interior", "small", R, "free(): invalid pointer", false},
    {"invalid-interior", "4k", R, "double free or corruption (out)", false},
    {"invalid-interior", "256k", R, "double free or corruption (out)", false},
    {"invalid-off-by-one", "small", R, "free(): invalid pointer", false},
    {"invalid-off-by-one", "4k", R, "free(): invalid pointer", false},
    {"invalid-off-by-one", "256k", R, "free(): invalid pointer", false},
    {"invalid-stack", "small", R, "free(): invalid size", true},
    {"invalid-stack", "4k", R, "free(): invalid size", true},
    {"invalid-stack", "256k", R, "free(): invalid size", true},
    {"invalid-static", "small", R, "free(): invalid pointer", false},
    {"invalid-static", "4k", R, "free(): invalid pointer", false},
    {"invalid-static", "256k", R, "free(): invalid pointer", false},
    {"invalid-alloca", "small", R, "munmap_chunk(): invalid pointer", false},
    {"invalid-alloca", "4k", R, "munmap_chunk(): invalid pointer", false},
    {"invalid-alloca", "256k", R, "munmap_chunk(): invalid pointer", false},
    {"invalid-far", "small", C, "", false},
    {"invalid-far", "4k", C, "", false},
    {"invalid-far", "256k", C, "", false},
    {"overflow-1", "small", S, "", false},
    {"overflow-1", "4k", S, "", false},
    {"overflow-1", "256k", S, "", false},
    {"overflow-32", "small", R, "munmap_chunk(): invalid pointer", false},
    {"overflow-32", "4k", R, "free(): invalid next size (normal)", false},
    {"overflow-32", "256k", S, "", false},
    {"underflow-1", "small", R, "double free or corruption (out)", false},
    {"underflow-1", "4k", R, "double free or corruption (out)", false},
    {"underflow-1", "256k", S, "", false},
    {"underflow-32", "small", C, "", false},
    {"underflow-32", "4k", C, "", false},
    {"underflow-32", "256k", C, "", false},
    {"write-after-free", "small", S, "", false},
    {"write-after-free", "4k", S, "", false},
    {"write-after-free", "256k", P, "", false},
    {"write-after-free-realloc", "small", S, "", false},
    {"write-after-free-realloc", "4k", C, "", false},
    {"write-after-free-realloc", "256k", P, "", false},
    {"write-after-free-merged", "small", S, "", false},
    {"write-after-free-merged", "4k", C, "", false},
    {"write-after-free-merged", "256k", P, "", false},
};

const GlibcEnd &glibcEnd(const std::string &fault, const std::string &size) {
  for (const GlibcEnd &g : kGlibc)
    if (fault == g.fault && size == g.size) return g;
  ADD_FAILURE() << "no glibc outcome recorded for " << fault << " " << size;
  return kGlibc[0];
}

const char *const kFaults[] = {
    "double-free",
    "double-free-delayed",
    "double-free-interleaved",
    "double-free-after-reuse",
    "double-free-written",
    "invalid-interior",
    "invalid-off-by-one",
    "invalid-stack",
    "invalid-static",
    "invalid-alloca",
    "invalid-far",
    "overflow-1",
    "overflow-32",
    "underflow-1",
    "underflow-32",
    "write-after-free",
    "write-after-free-realloc",
    "write-after-free-merged",
};
const char *const kSizes[] = {"small", "4k", "256k"};

bool startsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

// ---- What MyMalloc must do ----

// Whether the runtime promises a report for the fault, and what the report must say.
const char *promisedReport(Runtime runtime, const std::string &fault, const std::string &size) {
  bool check = runtime != Runtime::kPreload;
  bool mapped = size == "256k" && runtime != Runtime::kCompiledInCheck;
  if (fault == "double-free-written") {
    // The write after the first free comes first. Into a mapped block, gone back to the system,
    // it faults in the program, as on glibc. Into a parked block it breaks the mark, and the
    // report may name the write, at the free or where the cache follows the block's link.
    return mapped ? nullptr : "^(double free|written after free)";
  }
  if (startsWith(fault, "double-free")) {
    // A mapped block is gone once freed: its address is no longer the allocator's at all; and
    // memory handed out again since is another block's.
    return mapped || fault == "double-free-after-reuse" ? "^(double free|invalid pointer)"
                                                        : "^double free of";
  }
  if (startsWith(fault, "invalid-")) return "^invalid pointer";
  if (!check) return nullptr;
  if (startsWith(fault, "overflow-")) return "^written past the";
  if (startsWith(fault, "underflow-")) return "header|invalid pointer";
  // A write after free: a mapped block went back to the system, so the write itself faults in
  // the program, as on glibc.
  return mapped ? nullptr : "written after free|free block";
}

struct Case {
  Runtime runtime;
  const char *fault;
  const char *size;
};

class FaultEnds : public testing::TestWithParam<Case> {};

TEST_P(FaultEnds, AsPromised) {
  const Case &c = GetParam();
  Outcome o = run(c.runtime, c.fault, c.size);
  const GlibcEnd &g = glibcEnd(c.fault, c.size);
  if (c.runtime == Runtime::kGlibc) {
    // The bar, as recorded: if glibc changes, the table and the bar change with it.
    if (g.varies) {
      EXPECT_TRUE(o.end == End::kReported || o.end == End::kCrashInAllocator) << describe(o);
    } else {
      EXPECT_EQ(endName(o.end), std::string(endName(g.end))) << describe(o);
    }
    if (o.end == End::kReported) {
      EXPECT_EQ(o.report, g.report) << describe(o);
    }
    return;
  }

  SCOPED_TRACE(describe(o));
  EXPECT_NE(o.end, End::kCrashInAllocator);
  EXPECT_NE(o.end, End::kTwice);
  EXPECT_NE(o.end, End::kOther);
  if (g.end == End::kReported) {
    EXPECT_EQ(o.end, End::kReported) << "glibc reports this fault";
  }
  if (o.end == End::kCrashInProgram) {
    EXPECT_EQ(g.end, End::kCrashInProgram);
  }
  const char *promised = promisedReport(c.runtime, c.fault, c.size);
  if (promised != nullptr) {
    EXPECT_EQ(o.end, End::kReported) << "want a report: " << promised;
  }
  if (o.end != End::kReported) return;

  // One line: "MyMalloc: CALL(): FAULT, called from OBJECT+0xOFFSET".
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      o.report, m,
      std::regex("MyMalloc: (malloc|free|realloc|calloc)\\(\\): (.+), called from "
                 "([^ ]+)\\+0x([0-9a-f]+)")))
      << "not a report of MyMalloc's";
  if (promised != nullptr) {
    EXPECT_TRUE(std::regex_search(std::string(m[2]), std::regex(promised)))
        << "the report must say " << promised;
  }
  std::string program = c.runtime == Runtime::kCompiledInCheck ? FAULT_COMPILED_IN : FAULT;
  EXPECT_EQ(m[3], program.substr(program.rfind('/') + 1));
  ASSERT_EQ(o.marker, "call") << "reported outside an allocator call";
  // The return address follows the call; the byte before it is the call's.
  char hex[32];
  snprintf(hex, sizeof hex, "0x%lx", std::stoul(m[4], nullptr, 16) - 1);
  ChildResult where = runProgram({ADDR2LINE, "-e", program, hex});
  EXPECT_TRUE(std::regex_search(where.out, std::regex("fault\\.c:" + std::to_string(o.line) + "\\b")))
      << "addr2line " << hex << ": " << where.out << ", want line " << o.line;
}

std::vector<Case> cases(Runtime runtime) {
  std::vector<Case> all;
  for (const char *fault : kFaults)
    for (const char *size : kSizes) all.push_back(Case{runtime, fault, size});
  return all;
}

std::string caseName(const testing::TestParamInfo<Case> &info) {
  std::string name = std::string(info.param.fault) + "_" + info.param.size;
  for (char &ch : name)
    if (ch == '-') ch = '_';
  return name;
}

// ---- Writes past either end of a block under the heap check ----

// Under MYMALLOC_CHECK=1, in both builds, every seed's scribbles (scribble.c) end in one report
// line and an abort: the check neither crashes on a header they changed nor lets them pass.
TEST(Scribbles, AreReportedNeverACrash) {
  setenv("MYMALLOC_CHECK", "1", 1);
  for (const char *program : {SCRIBBLE, SCRIBBLE_COMPILED_IN}) {
    if (program == std::string(SCRIBBLE)) setenv("LD_PRELOAD", LIBMYMALLOC, 1);
    for (int seed = 1; seed <= 100; seed++) {
      ChildResult r = runProgram({program, std::to_string(seed)});
      SCOPED_TRACE(std::string(program) + " " + std::to_string(seed) + ": status " +
                   std::to_string(r.status) + "\nstdout:\n" + r.out + "stderr:\n" + r.err);
      EXPECT_EQ(r.out, "scribbled\n");
      EXPECT_TRUE(r.status != -1 && WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT);
      EXPECT_TRUE(std::regex_match(r.err, std::regex("MyMalloc: [^\n]+\n")));
    }
    unsetenv("LD_PRELOAD");
  }
  unsetenv("MYMALLOC_CHECK");
}

// ---- Writes after free into a parked block's link ----

// The preload library links the blocks a thread's cache holds, and those one thread returns to
// another's arena, through their first word, and follows it when malloc takes a cached block,
// when the cache gives its blocks back or when the arena merges what was returned. With no
// setting, a small block's write is a report, never a crash. Under the check, at every size, a report, or for a mapped block (which
// the check gives back to the system at once, keeping none for reuse) a fault at the program's
// own write, as on glibc: never a run that lets the write pass into a block handed out again.
TEST(ParkedLinks, AreCheckedBeforeFollowed) {
  for (const char *fault : {"write-after-free-cached", "write-after-free-returned"}) {
    Outcome plain = run(Runtime::kPreload, fault, "small");
    SCOPED_TRACE(std::string(fault) + ": " + describe(plain));
    EXPECT_EQ(plain.end, End::kReported);
    EXPECT_TRUE(std::regex_match(
        plain.report,
        std::regex("MyMalloc: free\\(\\): written after free, at byte 0 of a \\d+-byte block at "
                   "0x[0-9a-f]+ \\(offset \\d+ in its chunk\\) (in a thread's cache|returned to its "
                   "arena): its link leads to 0x5757575757575757, no (cached|returned) block")));
    for (const char *size : kSizes) {
      Outcome checked = run(Runtime::kPreloadCheck, fault, size);
      SCOPED_TRACE(std::string(size) + ", checked: " + describe(checked));
      if (std::string(size) == "256k")
        EXPECT_TRUE(checked.end == End::kReported || checked.end == End::kCrashInProgram);
      else
        EXPECT_EQ(checked.end, End::kReported);
    }
  }
  // The next malloc of the class follows the link, and names its caller.
  for (const char *fault : {"write-after-free", "write-after-free-realloc"}) {
    Outcome plain = run(Runtime::kPreload, fault, "small");
    SCOPED_TRACE(std::string(fault) + ": " + describe(plain));
    EXPECT_TRUE(std::regex_match(
        plain.report,
        std::regex("MyMalloc: malloc\\(\\): written after free, at byte 0 of a \\d+-byte block at "
                   "0x[0-9a-f]+ \\(offset \\d+ in its chunk\\) in a thread's cache: its link leads "
                   "to 0x[0-9a-f]+, no cached block, called from fault\\+0x[0-9a-f]+")));
  }
}

INSTANTIATE_TEST_SUITE_P(glibc, FaultEnds, testing::ValuesIn(cases(Runtime::kGlibc)), caseName);
INSTANTIATE_TEST_SUITE_P(preload, FaultEnds, testing::ValuesIn(cases(Runtime::kPreload)), caseName);
INSTANTIATE_TEST_SUITE_P(preload_check, FaultEnds, testing::ValuesIn(cases(Runtime::kPreloadCheck)),
                         caseName);
INSTANTIATE_TEST_SUITE_P(compiled_in_check, FaultEnds,
                         testing::ValuesIn(cases(Runtime::kCompiledInCheck)), caseName);

}  // namespace
