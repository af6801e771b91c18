// Runs each exercise program with its standard output in a file, and in a
// pipe, and compares the whole output byte for byte with what the allocator
// model predicts from the program's calls plus stdout's buffer allocation.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "exercise_scripts.h"
#include "io.h"
#include "heap_model.h"

namespace exercises {

// Names the parameter in test listings (found by argument-dependent lookup).
void PrintTo(const Exercise &exercise, std::ostream *os) { *os << exercise.name; }

namespace {

const std::string kBinDir = EXERCISE_BIN_DIR;
const std::string kO3Dir = EXERCISE_O3_DIR;  // the same programs built at -O3

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;         // wait status
  size_t stdioBuffer = 0;  // what the program's stdout mallocs at its first write
};

constexpr int kRunMs = 60000;  // the longest a program may take on a busy machine

// Runs the program name of dir with no arguments and standard input empty, its standard output
// into a file or a pipe; a non-zero stackLimit becomes its RLIMIT_STACK (its threads' stack
// size).
Outcome run(const std::string &name, bool intoFile, rlim_t stackLimit = 0,
            const std::string &dir = kBinDir) {
  RunOptions options;
  options.outputToFile = intoFile;
  options.stackLimit = stackLimit;
  options.timeoutMs = kRunMs;
  ChildResult r = runProgram({dir + "/" + name}, options);
  return {r.out, r.err, r.status, stdioBufferFor(r.outBlockSize)};
}

Outcome runIntoFile(const std::string &name, rlim_t stackLimit = 0,
                    const std::string &dir = kBinDir) {
  return run(name, true, stackLimit, dir);
}

Outcome runIntoPipe(const std::string &name) { return run(name, false); }

// Equality, reported as the first line that differs rather than two dumps.
testing::AssertionResult sameText(const std::string &actual, const std::string &expected) {
  if (actual == expected) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) at++;
  size_t newline = at == 0 ? std::string::npos : expected.rfind('\n', at - 1);
  size_t lineStart = newline == std::string::npos ? 0 : newline + 1;
  long line = std::count(expected.begin(), expected.begin() + static_cast<long>(lineStart), '\n');
  auto lineAt = [lineStart](const std::string &s) {
    if (lineStart >= s.size()) return std::string("(end of output)");
    return s.substr(lineStart, std::min<size_t>(s.find('\n', lineStart) - lineStart, 300));
  };
  return testing::AssertionFailure()
         << "outputs differ at byte " << at << " (line " << line + 1 << "); sizes " << actual.size()
         << " and " << expected.size() << "\n  actual:   " << lineAt(actual)
         << "\n  expected: " << lineAt(expected);
}

void expectPredicted(const Exercise &exercise, const Outcome &o) {
  ProgramRun model(o.stdioBuffer);
  exercise.run(model);
  EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0) << "wait status " << o.status;
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(sameText(o.out, model.exit()));
}

class ExerciseOutput : public testing::TestWithParam<Exercise> {};

TEST_P(ExerciseOutput, IntoAFile) {
  const Exercise &exercise = GetParam();
  expectPredicted(exercise, runIntoFile(exercise.name));
}

TEST_P(ExerciseOutput, IntoAPipe) {
  const Exercise &exercise = GetParam();
  expectPredicted(exercise, runIntoPipe(exercise.name));
}

// Built at -O3 whatever the build type: still every call reaches the
// allocator as written, so the counts and offsets stay as predicted.
TEST_P(ExerciseOutput, AtO3IntoAFile) {
  const Exercise &exercise = GetParam();
  expectPredicted(exercise, runIntoFile(exercise.name, 0, kO3Dir));
}

std::string testName(const testing::TestParamInfo<Exercise> &info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Programs, ExerciseOutput, testing::ValuesIn(deterministicExercises()),
                         testName);

// The shifts the stdio buffer causes, spelled out once by hand for test1-4.
TEST(ExerciseOutputByHand, Test1_4WithA4096ByteBuffer) {
  Outcome o = runIntoFile("test1-4");
  if (o.stdioBuffer != 4096) GTEST_SKIP() << "this file system's block size is not 4096";
  const std::string fresh = "FreeList: [offset:16,size:2093008]\n";  // 2097120 - 4112
  EXPECT_TRUE(sameText(o.out, "\n---- Running test1 ---\nBefore any allocation\n" + fresh +
                                  "mem1 = malloc(8)\nFreeList: [offset:16,size:2092976]\n"
                                  "mem2 = malloc(8)\nFreeList: [offset:16,size:2092944]\n"
                                  "mem3 = malloc(8)\nFreeList: [offset:16,size:2092912]\n"
                                  "free(mem2))\n"
                                  "FreeList: [offset:2092960,size:32]->[offset:16,size:2092912]\n"
                                  "free(mem1))\n"
                                  "FreeList: [offset:2092960,size:64]->[offset:16,size:2092912]\n" +
                                  reportText(2097152, 4, 0, 0, 2)));
}

// Parses "FreeList: [offset:O,size:S]->...\n" at the start of `text`.
bool parseList(const std::string &text, FreeList &list, size_t &length) {
  const std::string head = "FreeList: ";
  if (text.compare(0, head.size(), head) != 0) return false;
  size_t at = head.size();
  while (at < text.size() && text[at] == '[') {
    FreeEntry e;
    int used = 0;
    if (sscanf(text.c_str() + at, "[offset:%ld,size:%zu]%n", &e.offset, &e.size, &used) != 2 ||
        used == 0)
      return false;
    list.push_back(e);
    at += static_cast<size_t>(used);
    if (text.compare(at, 2, "->") == 0) at += 2;
  }
  length = at + 1;
  return at < text.size() && text[at] == '\n';
}

constexpr int kThreads = 5;
constexpr size_t kFresh = 2097120;  // a fresh chunk's one free block

struct Test9Report {
  FreeList list;
  size_t heapSize = 0;
  int mallocs = 0, reallocs = 0, callocs = 0, frees = 0;
};

// The bytes test9 itself holds at the end: stdout's buffer, malloc(20) and
// the workers' fifty malloc(10).
size_t test9OwnBytes(const Outcome &o) {
  return blockSizeFor(o.stdioBuffer) + blockSizeFor(20) + kThreads * 10 * blockSizeFor(10);
}

// Parses test9's output and checks what no interleaving can change: the
// text, one chunk, 51 mallocs plus stdout's buffer, one calloc per thread
// (the threads library's per-thread data), and the fresh block's remainder
// at the end of the list (holes freed later go in front of it).
void parseTest9(const Outcome &o, Test9Report &r) {
  ASSERT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0) << o.status;
  EXPECT_EQ(o.err, "");
  const std::string banner = "\n---- Running test9 ---\n";
  ASSERT_EQ(o.out.compare(0, banner.size(), banner), 0) << o.out;
  size_t listLength = 0;
  ASSERT_TRUE(parseList(o.out.substr(banner.size()), r.list, listLength)) << o.out;
  std::string report = o.out.substr(banner.size() + listLength);
  ASSERT_EQ(sscanf(report.c_str(),
                   "\n-------------------\nHeapSize:\t%zu bytes\n# mallocs:\t%d\n"
                   "# reallocs:\t%d\n# callocs:\t%d\n# frees:\t%d",
                   &r.heapSize, &r.mallocs, &r.reallocs, &r.callocs, &r.frees),
            5)
      << report;
  // The whole text, rebuilt from what was parsed: nothing more, nothing less.
  EXPECT_TRUE(
      sameText(o.out, banner + listText(r.list) +
                          reportText(r.heapSize, r.mallocs, r.reallocs, r.callocs, r.frees)));
  EXPECT_EQ(r.heapSize, 2097152u);
  EXPECT_EQ(r.mallocs, 1 + 1 + kThreads * 10);
  EXPECT_EQ(r.reallocs, 0);
  EXPECT_EQ(r.callocs, kThreads);
  ASSERT_FALSE(r.list.empty());
  EXPECT_EQ(r.list.back().offset, 16);
  for (const FreeEntry &e : r.list) {
    EXPECT_GE(e.offset, 16);
    EXPECT_LE(e.offset + static_cast<long>(e.size), 2097136);  // below the right fencepost
  }
}

size_t freeBytes(const FreeList &list) {
  return std::accumulate(list.begin(), list.end(), size_t{0},
                         [](size_t sum, const FreeEntry &e) { return sum + e.size; });
}

// The free list holds the fresh block less every block still allocated:
// test9's own and the per-thread blocks the threads library has not freed.
TEST(ThreadedExercise, ListAndReportAfterAllFiveThreads) {
  // With 1 MiB stacks the threads library caches all five stacks and frees
  // no per-thread block, so the one remaining entry fixes that block's size.
  Outcome calibration = runIntoFile("test9", rlim_t{1} << 20);
  Test9Report first;
  ASSERT_NO_FATAL_FAILURE(parseTest9(calibration, first));
  ASSERT_EQ(first.list.size(), 1u) << calibration.out;
  size_t own = test9OwnBytes(calibration);
  ASSERT_LE(own + first.list[0].size, kFresh);
  size_t library = kFresh - own - first.list[0].size;
  ASSERT_EQ(library % kThreads, 0u) << library;
  const size_t perThread = library / kThreads;
  ASSERT_TRUE(perThread >= 32 && perThread % 8 == 0) << perThread;

  // The inherited stack size, then 16 MiB: a stack cache over its limit
  // frees per-thread blocks, even while later workers still allocate.
  for (rlim_t stack : {rlim_t{0}, rlim_t{0}, rlim_t{0}, rlim_t{16} << 20, rlim_t{16} << 20}) {
    SCOPED_TRACE("stack limit " + std::to_string(stack));
    Outcome o = runIntoFile("test9", stack);
    Test9Report r;
    ASSERT_NO_FATAL_FAILURE(parseTest9(o, r));
    size_t held = kFresh - test9OwnBytes(o) - freeBytes(r.list);
    ASSERT_LE(freeBytes(r.list) + test9OwnBytes(o), kFresh);
    EXPECT_EQ(held % perThread, 0u) << o.out;
    size_t stillHeld = held / perThread;
    EXPECT_LE(stillHeld, static_cast<size_t>(kThreads));
    EXPECT_LE(kThreads - stillHeld, static_cast<size_t>(r.frees)) << "a block freed uncounted";
  }
}

// The build's list of exercise programs is the one list: each program on it has its
// calls scripted here (test9, whose threads interleave, is checked on its own above),
// and nothing is scripted that the build does not make.
TEST(ExerciseCatalogue, EveryProgramBuiltIsCheckedAndNoOther) {
  std::vector<std::string> built;
  std::istringstream names(EXERCISE_PROGRAMS);
  for (std::string name; names >> name;) built.push_back(name);
  std::vector<std::string> checked = {"test9"};
  for (const Exercise &e : deterministicExercises()) checked.push_back(e.name);
  std::sort(built.begin(), built.end());
  std::sort(checked.begin(), checked.end());
  EXPECT_EQ(built, checked);
}

// Every program carries the allocator and exports it, so libc's own calls
// reach it too (test0 included, though it never calls it); and none links
// the C++ runtime, which would allocate before main.
TEST(ExerciseLinkage, ExportsTheAllocatorAndLinksNoCxxRuntime) {
  std::vector<std::string> names;
  for (const Exercise &e : deterministicExercises()) names.push_back(e.name);
  names.push_back("test9");
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    std::string path = kBinDir + "/" + name;
    FILE *nm = popen(("nm -D --defined-only '" + path + "'").c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::string symbols = readToEnd(fileno(nm), 60000).data;
    ASSERT_EQ(pclose(nm), 0);
    for (const char *entry : {" T malloc\n", " T free\n", " T realloc\n", " T calloc\n"})
      EXPECT_NE(symbols.find(entry), std::string::npos) << entry;

    FILE *objdump = popen(("objdump -p '" + path + "'").c_str(), "r");
    ASSERT_NE(objdump, nullptr);
    std::string headers = readToEnd(fileno(objdump), 60000).data;
    ASSERT_EQ(pclose(objdump), 0);
    EXPECT_NE(headers.find("NEEDED"), std::string::npos);
    EXPECT_EQ(headers.find("libstdc++"), std::string::npos);
  }
}

}  // namespace
}  // namespace exercises
