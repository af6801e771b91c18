// The heap check (MYMALLOC_CHECK) against each kind of fault, in a process of its own, with
// the allocator compiled in and with libmymalloc.so preloaded: the one line on standard error
// names the call, the fault and the block's offset, the caller's address leads addr2line to the
// faulty line, and the process aborts; a stray write no call touches is found by the walk
// within the calls promised.

#include <signal.h>
#include <string.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <regex>
#include <string>

#include "child.h"
#include "gtest/gtest.h"

namespace {

struct Build {
  const char *name;
  const char *program;
  const char *preload;  // null: the allocator is compiled in
  const char *cache;    // MYMALLOC_CACHE, if set
};
// The preload library with MYMALLOC_CACHE=0: a freed block reaches the free
// list at once, as in the compiled-in build, and not the check's lookaside.
const Build kBuilds[] = {{"compiled-in", FAULTS_COMPILED_IN, nullptr, nullptr},
                         {"preload", FAULTS_LIBC, LIBMYMALLOC, "0"}};
const Build kCachedPreload = {"preload, cached", FAULTS_LIBC, LIBMYMALLOC, nullptr};

// Runs the fault program in mode with the check set as setting.
ChildResult runFault(const Build &build, const char *mode, const char *setting) {
  setenv("MYMALLOC_CHECK", setting, 1);
  if (build.preload != nullptr) setenv("LD_PRELOAD", build.preload, 1);
  if (build.cache != nullptr) setenv("MYMALLOC_CACHE", build.cache, 1);
  ChildResult r = runProgram({build.program, mode});
  unsetenv("MYMALLOC_CACHE");
  unsetenv("LD_PRELOAD");
  unsetenv("MYMALLOC_CHECK");
  return r;
}

bool aborted(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }

// The "line L offset O" the program wrote before its fault.
void expected(const std::string &out, int *line, long *offset) {
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("^line (\\d+) offset (-?\\d+)\n")))
      << "output: " << out;
  *line = std::stoi(m[1]);
  *offset = std::stol(m[2]);
}

// Runs the fault program in mode with the check set as setting, which must
// abort it; line and offset: what it announced before its fault.
ChildResult runToAbort(const Build &build, const char *mode, const char *setting, int *line,
                       long *offset) {
  ChildResult r = runFault(build, mode, setting);
  expected(r.out, line, offset);
  EXPECT_TRUE(aborted(r.status)) << "status " << r.status;
  return r;
}

// The fault as the report words it: a regular expression, where OFFSET stands for the offset
// the program announced, of the block's header in its chunk.
struct Fault {
  const char *mode;
  const char *call;
  const char *what;
  const char *setting = "1";  // 1000: no walk before exit, so that the call meets the fault first
};
#define BLOCK "a [0-9]+-byte block at 0x[0-9a-f]+ \\(offset [0-9]+ in its chunk\\)"
#define THE_BLOCK "a [0-9]+-byte block at 0x[0-9a-f]+ \\(offset OFFSET in its chunk\\)"
const Fault kFaults[] = {
    {"double-free", "free", "double free of 0x[0-9a-f]+, which lies in " BLOCK ", free"},
    {"double-free-alone", "free", "double free of " THE_BLOCK},
    {"interior", "free", "invalid pointer 0x[0-9a-f]+ \\(byte 32 of " BLOCK "\\)"},
    {"interior-realloc", "realloc", "invalid pointer 0x[0-9a-f]+ \\(byte 48 of " BLOCK "\\)"},
    {"stack", "free", "invalid pointer 0x[0-9a-f]+ \\(not in any chunk or mapped block of this allocator\\)"},
    {"overrun", "free",
     "written past the (end of the block|[0-9]+ bytes asked for), at byte [0-9]+ of " THE_BLOCK},
    {"overrun-size-word", "free",
     "written past the (end of the block|[0-9]+ bytes asked for), at byte [0-9]+ of " THE_BLOCK},
    {"large-interior", "free",
     "invalid pointer 0x[0-9a-f]+ \\((byte 64 of " BLOCK "|not the start of a mapped block, or its header overwritten)\\)"},
    // a link written over deep in the list, which only a search reads: reported before it is followed
    {"search-link", "malloc", "a free block's links broken in " THE_BLOCK, "1000"},
    {"index-word", "malloc", "a free block's size index word overwritten in " THE_BLOCK},
    {"gap-word", "malloc", "written after free, at byte 20 of " THE_BLOCK},
    {"across-chunks", "free", "invalid pointer 0x[0-9a-f]+ \\(byte [0-9]+ of " BLOCK "\\)"},
    {"across-chunks-realloc", "realloc", "invalid pointer 0x[0-9a-f]+ \\(byte [0-9]+ of " BLOCK "\\)"},
};

std::string withOffset(std::string what, long offset) {
  size_t at = what.find("OFFSET");
  return at == std::string::npos ? what : what.replace(at, 6, std::to_string(offset));
}

TEST(HeapCheck, EachFaultIsReportedAtTheCallThatMeetsIt) {
  for (const Build &build : kBuilds) {
    for (const Fault &f : kFaults) {
      SCOPED_TRACE(std::string(build.name) + " " + f.mode);
      int line = 0;
      long offset = 0;
      ChildResult r = runToAbort(build, f.mode, f.setting, &line, &offset);
      std::string program = build.program;
      std::string base = program.substr(program.rfind('/') + 1);
      std::smatch m;
      std::string want = std::string("^MyMalloc: ") + f.call + "\\(\\): " + withOffset(f.what, offset) +
                         ", called from " + base + "\\+0x([0-9a-f]+)\n$";
      ASSERT_TRUE(std::regex_match(r.err, m, std::regex(want))) << "stderr: " << r.err;
      // The return address (the last group) follows the call; the byte before it is the call's.
      unsigned long address = std::stoul(m[m.size() - 1], nullptr, 16) - 1;
      char hex[32];
      snprintf(hex, sizeof hex, "0x%lx", address);
      ChildResult where = runProgram({ADDR2LINE, "-e", program, hex});
      EXPECT_TRUE(
          std::regex_search(where.out, std::regex("faults\\.cc:" + std::to_string(line) + "\\b")))
          << "addr2line " << hex << ": " << where.out << ", want line " << line;
    }
  }
}

// The same faults without the check: with the allocator compiled in, a double
// free goes by unnoticed, as the classic allocator trusts its callers; the
// preload library checks every free, as glibc does.
TEST(HeapCheck, NothingIsCheckedWhenTheCheckIsOffInTheCompiledInBuild) {
  ChildResult r = runFault(kBuilds[0], "double-free-alone", "0");
  EXPECT_EQ(r.err, "alloc_faults: the fault was not reported\n");
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 3) << "status " << r.status;
  ChildResult preload = runFault(kBuilds[1], "double-free-alone", "0");
  EXPECT_TRUE(aborted(preload.status)) << "status " << preload.status;
  EXPECT_TRUE(std::regex_search(preload.err, std::regex("^MyMalloc: free\\(\\): double free of ")))
      << preload.err;
}

// Faults only the preload library meets, as the report words them (OFFSET as in
// kFaults): with no setting, a cached block's header written over after its free
// is reported when the cache gives the block back, and free's and realloc's quick
// check over a run of chunks keeps a block inside its own chunk; under the check,
// mallinfo2 checks each free-list entry it counts before it follows its link.
const Fault kPreloadFaults[] = {
    {"parked-header", "free", "the header of the block at 0x[0-9a-f]+ is overwritten", "0"},
    {"across-chunks", "free", "invalid pointer 0x[0-9a-f]+ \\(byte [0-9]+ of " BLOCK "\\)", "0"},
    {"across-chunks-realloc", "realloc", "invalid pointer 0x[0-9a-f]+ \\(byte [0-9]+ of " BLOCK "\\)",
     "0"},
    {"figures-link", "mallinfo2", "a free block's links broken in " THE_BLOCK, "1000"},
    // Under the check a small freed block waits in the check's lookaside, filled
    // with its pattern around its mark, until an allocation takes it whole.
    {"double-free-alone", "free", "double free of " THE_BLOCK " \\(held back by the heap check\\)"},
    {"first-word", "malloc", "written after free, at byte 0 of " THE_BLOCK},
    {"mark-word", "malloc", "written after free, at byte 8 of " THE_BLOCK},
    {"gap-word", "malloc", "written after free, at byte 20 of " THE_BLOCK},
};

TEST(HeapCheck, ThePreloadLibrarysOwnFaultsAreReported) {
  for (const Fault &f : kPreloadFaults) {
    SCOPED_TRACE(f.mode);
    int line = 0;
    long offset = 0;
    // The figures follow the free list: the block must be on it.
    const Build &build = strcmp(f.mode, "figures-link") == 0 ? kBuilds[1] : kCachedPreload;
    ChildResult r = runToAbort(build, f.mode, f.setting, &line, &offset);
    std::string want = std::string("^MyMalloc: ") + f.call + "\\(\\): " + withOffset(f.what, offset);
    EXPECT_TRUE(std::regex_search(r.err, std::regex(want))) << r.err;
  }
}

// The calls a stray-write program made before the walk stopped it.
size_t callsMade(const std::string &out) {
  size_t calls = 0;
  for (size_t at = 0; (at = out.find("2 calls\n", at)) != std::string::npos; at++) calls += 2;
  return calls;
}

TEST(HeapCheck, AStrayWriteIsFoundWithinTheHeapsBlocksInCalls) {
  for (const Build &build : kBuilds) {
    SCOPED_TRACE(build.name);
    int line = 0;
    long offset = 0;
    ChildResult r = runToAbort(build, "stray-link", "1", &line, &offset);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex("MyMalloc: heap check failed: free-list links disagree at 0x[0-9a-f]+ "
                          "\\(offset " + std::to_string(offset) + " in its chunk\\)\n")))
        << r.err;
    // The heap holds the program's 64 blocks, the rest of the chunk and
    // whatever libc took before main: a few more than 64.
    size_t calls = callsMade(r.out);
    EXPECT_LE(calls, 2u * 64) << "found only after " << calls << " calls";
    // every:N walks only every Nth operation: far later.
    ChildResult every = runFault(build, "stray-link", "every:1000");
    EXPECT_TRUE(aborted(every.status)) << "status " << every.status;
    EXPECT_GT(callsMade(every.out), calls);
    // A forward link turned into a wild pointer: the walk names the entry
    // it leads to, as soon, and reads nothing through it.
    ChildResult wild = runToAbort(build, "stray-next", "1", &line, &offset);
    EXPECT_EQ(wild.err, "MyMalloc: heap check failed: free-list entry outside the heap at "
                        "0x5a5a5a5a5a5a5a5a\n");
    EXPECT_LE(callsMade(wild.out), 2u * 64);
  }
  // With the lookaside, the freed blocks are held back, and the walk finds
  // the write over the held block's first word as soon.
  int line = 0;
  long offset = 0;
  ChildResult held = runToAbort(kCachedPreload, "stray-next", "1", &line, &offset);
  EXPECT_TRUE(std::regex_match(held.err, std::regex("MyMalloc: heap check failed: written after free, at "
                                                    "byte 0 of " + withOffset(THE_BLOCK, offset) + "\n")))
      << held.err;
  EXPECT_LE(callsMade(held.out), 2u * 64);
}

}  // namespace
