// heaprun's JSON checked against the exercise programs' own lists for the same calls, against
// the allocator model and the heap's rules for seeded random scripts; bad and hostile scripts
// refused with one error line and status 2.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "child.h"
#include "heap-examples.h"
#include "heap_model.h"
#include "heaprun_steps.h"

namespace {

constexpr long kChunk = 2097152;

struct Ran {
  std::string out, err;
  int status = -1;  // exit status, or -1 if it did not exit
};

constexpr int kRunMs = 60000;  // the longest a run may take on a busy machine

// Runs program with input on standard input and standard output in a file.
Ran run(const std::string &program, const std::string &input) {
  RunOptions options;
  options.input = input;
  options.outputToFile = true;
  options.timeoutMs = kRunMs;
  ChildResult r = runProgram({program}, options);
  return {r.out, r.err, WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1};
}

Ran heaprun(const std::string &script) { return run(HEAPRUN, script); }

// heaprun's steps, read back and applied one after another; fails the test if any line is not
// JSON or a step does not fit the heap before it.
struct Steps : heapsteps::Run {
  explicit Steps(const std::string &output) : heapsteps::Run(heapsteps::read(output)) {
    EXPECT_TRUE(ok) << problem;
  }
  size_t size() const { return steps.size(); }
  const heapsteps::Step &operator[](size_t i) const { return steps[i]; }
  size_t blockCount(size_t step) const { return steps[step].blocks.size(); }
  const heapsteps::StepBlock &block(size_t step, size_t i) const { return steps[step].blocks[i]; }
  exercises::FreeList list(long step) const {
    exercises::FreeList l;
    for (const auto &[offset, size] : freeList(step)) l.push_back({offset, size});
    return l;
  }
};

// The heap's rules over one step's blocks: each chunk fenced where the previous one ends and
// tiled by its blocks, no two free neighbours, the free list holding exactly the free blocks,
// and each used block named by the name that holds it (held: payload offset -> name).
void expectHeapRules(const Steps &steps, size_t s, const std::map<long, std::string> &held) {
  const heapsteps::Step &step = steps[s];
  std::map<long, size_t> freeBlocks, listed;
  size_t named = 0;
  long at = 0;
  size_t count = steps.blockCount(s);
  for (size_t i = 0; i < count;) {
    ASSERT_EQ(steps.block(s, i).state, heapsteps::BlockState::Fence) << "step " << s + 1;
    ASSERT_EQ(steps.block(s, i).offset, at);
    long end = at + kChunk - 16;
    bool leftFree = false;
    at += 16;
    size_t below = 0;  // the size of the block below, 0 for the first
    for (i++; i < count && steps.block(s, i).state != heapsteps::BlockState::Fence; i++) {
      const heapsteps::StepBlock &b = steps.block(s, i);
      EXPECT_EQ(b.left, below) << "step " << s + 1 << ": _leftSize at " << at;
      below = b.size;
      ASSERT_EQ(b.offset, at) << "step " << s + 1 << ": a gap or an overlap";
      bool isFree = b.state == heapsteps::BlockState::Free;
      EXPECT_FALSE(isFree && leftFree) << "step " << s + 1 << ": two free neighbours at " << at;
      if (isFree) freeBlocks[b.offset] = b.size;
      auto holder = held.find(b.offset + 16);
      if (!isFree && holder != held.end()) {
        EXPECT_EQ(b.name, holder->second) << "step " << s + 1;
        named++;
      } else {
        EXPECT_EQ(b.name, "") << "step " << s + 1 << ": a name for a block it lost";
      }
      leftFree = isFree;
      at += static_cast<long>(b.size);
    }
    ASSERT_LT(i, count) << "step " << s + 1 << ": a chunk without its right fencepost";
    ASSERT_EQ(steps.block(s, i).offset, end);
    at = end + 16;
    i++;
  }
  EXPECT_EQ(named, held.size()) << "step " << s + 1;
  exercises::FreeList list = steps.list(static_cast<long>(s));
  for (const exercises::FreeEntry &f : list) listed[f.offset] = f.size;
  // _prevFree runs back along the list.
  long previous = heapsteps::kNoLink;
  for (const exercises::FreeEntry &f : list) {
    for (size_t i = 0; i < count; i++)
      if (steps.block(s, i).offset == f.offset) {
        EXPECT_EQ(steps.block(s, i).prev, previous) << "step " << s + 1 << ": _prevFree";
      }
    previous = f.offset;
  }
  EXPECT_EQ(listed, freeBlocks) << "step " << s + 1;
  EXPECT_EQ(steps.list(s).size(), listed.size()) << "step " << s + 1 << ": listed twice";
  EXPECT_EQ(step.heap, static_cast<size_t>(at)) << "step " << s + 1;
}

// A program's output with standard output in a pipe, and the size of the buffer its stdio
// mallocs there (glibc's: st_blksize, at most BUFSIZ).
std::string programOutput(const std::string &program, size_t *stdioBuffer) {
  RunOptions options;
  options.timeoutMs = kRunMs;
  ChildResult r = runProgram({program}, options);
  *stdioBuffer = exercises::stdioBufferFor(r.outBlockSize);
  return r.out;
}

TEST(HeaprunTest, ExamplesGiveTheListsTheirProgramsPrint) {
  // Every example of a program at the program's own scale; heaprun's step 1 is the buffer its
  // stdio mallocs before the program's first call.
  size_t compared = 0;
  for (const heapview::HeapExample &example : heapview::kHeapExamples) {
    if (example.ops == nullptr) continue;
    std::vector<size_t> at;  // the steps after which the program prints its lists
    size_t calls = 1;
    bool sameScale = true;
    for (size_t i = 0; i < example.opCount; i++) {
      const heapview::ExerciseOp &op = example.ops[i];
      if (op.kind == heapview::ExerciseOp::Malloc) {
        sameScale &= op.programCount == op.exampleCount;
        calls += static_cast<size_t>(op.exampleCount);
      }
      if (op.kind == heapview::ExerciseOp::Free) calls++;
      if (op.kind == heapview::ExerciseOp::FreeEvens) sameScale = false;
      if (op.kind == heapview::ExerciseOp::List) at.push_back(calls);
    }
    if (!sameScale || at.empty()) continue;
    SCOPED_TRACE(example.name);
    compared++;
    size_t stdioBuffer = 0;
    std::string output =
        programOutput(std::string(EXERCISE_BIN_DIR) + "/" + example.name, &stdioBuffer);
    std::vector<std::string> printed;
    for (size_t start = output.find("FreeList: "); start != std::string::npos;
         start = output.find("FreeList: ", start + 1))
      printed.push_back(output.substr(start, output.find('\n', start) + 1 - start));
    Ran r = heaprun("stdio = malloc " + std::to_string(stdioBuffer) + "\n" +
                    heapview::exampleScript(example));
    ASSERT_EQ(r.status, 0) << r.err;
    Steps steps(r.out);
    ASSERT_EQ(printed.size(), at.size());
    for (size_t i = 0; i < at.size(); i++) {
      ASSERT_LE(at[i], steps.size());
      EXPECT_EQ(exercises::listText(steps.list(static_cast<long>(at[i]) - 1)), printed[i])
          << "list " << i + 1;
    }
  }
  EXPECT_EQ(compared, 9u);  // test1-1 to test1-4, test2, test5 to test8
}

// A length drawn from small requests, large ones that take chunks, and ones beyond the limit.
size_t randomLength(std::mt19937_64 &rng) {
  switch (rng() % 20) {
    case 0:
      return 0;
    case 1:
      return SIZE_MAX - rng() % 64;
    case 2:
      return 2097000 + rng() % 200;  // the limit lies at 2097088
    case 3:
      return 1000000 + rng() % 1000000;
    case 4:
    case 5:
      return rng() % 300000;
    default:
      return rng() % 200;
  }
}

TEST(HeaprunTest, RandomScriptsMatchTheModelAndKeepTheRules) {
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 12; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    exercises::HeapModel model;
    std::map<std::string, exercises::Pointer> names;  // what the model says each name holds
    std::string script = "first = malloc 1\n";        // the heap is set up before anything else
    struct Expected {
      exercises::Pointer result;
      int error;
      std::map<long, std::string> held;
      exercises::FreeList list;
    };
    std::vector<Expected> expected;
    auto finish = [&](exercises::Pointer result, size_t length) {
      Expected e{result, !result && length != 0 ? ENOMEM : 0, {}, model.list()};
      for (const auto &[n, p] : names)
        if (p) e.held[*p] = n;
      expected.push_back(e);
    };
    names["first"] = model.malloc(1);
    finish(names["first"], 1);
    for (int call = 0; call < 250; call++) {
      std::string target = "n" + std::to_string(rng() % 12);
      std::string source = "n" + std::to_string(rng() % 12);
      if (!names.count(source) || !names[source]) source = "null";
      exercises::Pointer old = source == "null" ? std::nullopt : names[source];
      size_t length = randomLength(rng);
      switch (rng() % 4) {
        case 0:
          script += target + " = malloc " + std::to_string(length) + "\n";
          names[target] = model.malloc(length);
          break;
        case 1: {
          size_t count = rng() % 3 == 0 ? randomLength(rng) : rng() % 9;
          script +=
              target + " = calloc " + std::to_string(count) + " " + std::to_string(length) + "\n";
          if (__builtin_mul_overflow(count, length, &length)) length = SIZE_MAX;
          names[target] = model.malloc(length);
          break;
        }
        case 2: {
          script += target + " = realloc " + source + " " + std::to_string(length) + "\n";
          exercises::Pointer fresh = model.malloc(length);
          if (old && (fresh || length == 0)) {
            model.free(old);
            names[source] = std::nullopt;
          }
          names[target] = fresh;  // a block the name held stays allocated, unnamed
          break;
        }
        default:
          script += "free " + source + "\n";
          model.free(old);
          if (old) names[source] = std::nullopt;
          finish(std::nullopt, 0);
          continue;
      }
      finish(names[target], length);
    }
    Ran r = heaprun(script);
    ASSERT_EQ(r.status, 0) << r.err;
    Steps steps(r.out);
    ASSERT_EQ(steps.size(), expected.size());
    for (size_t s = 0; s < steps.size(); s++) {
      const Expected &e = expected[s];
      EXPECT_EQ(steps[s].hasResult, e.result.has_value()) << "step " << s + 1;
      if (e.result && steps[s].hasResult) {
        EXPECT_EQ(steps[s].result, *e.result) << "step " << s + 1;
      }
      EXPECT_EQ(steps[s].error, e.error) << "step " << s + 1;
      EXPECT_EQ(steps.list(s), e.list) << "step " << s + 1;
      expectHeapRules(steps, s, e.held);
    }
    EXPECT_EQ(steps[steps.size() - 1].heap, model.heapSize());
  }
}

// The facts of each step checked against the heaps before and after it: the free block first
// fit took found in the list before the call (every block passed over too small for the block
// handed out), the block carved from its high end or handed out whole, a new chunk's fresh
// block, the block freed and the free block that holds it afterwards.
void expectFactsFollowFromTheHeaps(const std::string &script) {
  Ran r = heaprun(script);
  ASSERT_EQ(r.status, 0) << r.err;
  Steps steps(r.out);
  std::map<std::string, long> holds;  // name -> payload offset of its block
  for (size_t s = 0; s < steps.size(); s++) {
    const heapsteps::Step &step = steps[s];
    SCOPED_TRACE("step " + std::to_string(s + 1) + ": " + step.call);
    const heapsteps::Value &f = step.facts();
    size_t heapBefore = s > 0 ? steps[s - 1].heap : 0;
    bool grew = step.heap > heapBefore;
    const std::string &call = step.call;
    std::string target = call.find(" = ") != std::string::npos ? call.substr(0, call.find(" = ")) : "";
    std::string verb = call.substr(target.empty() ? 0 : target.size() + 3);
    std::string source;  // the name given to realloc or free
    if (verb.rfind("free ", 0) == 0) source = verb.substr(5);
    if (verb.rfind("realloc ", 0) == 0) source = verb.substr(8, verb.find(' ', 8) - 8);
    long old = source.empty() || source == "null" ? -1 : holds.at(source);
    bool isFree = step.kind == 3;

    if (step.hasResult) {
      long block = step.result - 16;
      const heapsteps::StepBlock *b = steps.blockAt(s, block);
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->state, heapsteps::BlockState::Used);
      exercises::FreeList before = steps.list(static_cast<long>(s) - 1);
      size_t place = 0;
      while (place < before.size() &&
             !(block >= before[place].offset &&
               block < before[place].offset + static_cast<long>(before[place].size)))
        place++;
      if (grew) {
        EXPECT_EQ(place, before.size()) << "a new chunk, yet a listed block held it";
        EXPECT_EQ(f[0].number, static_cast<long>(before.size()) + 1);
        EXPECT_EQ(f[1].number % kChunk, 16);  // the new chunk's fresh block
        EXPECT_EQ(f[2].number, kChunk - 32);
      } else {
        ASSERT_LT(place, before.size());
        EXPECT_EQ(f[0].number, static_cast<long>(place) + 1);
        EXPECT_EQ(f[1].number, before[place].offset);
        EXPECT_EQ(f[2].number, static_cast<long>(before[place].size));
        for (size_t i = 0; i < place; i++)
          EXPECT_LT(before[i].size, b->size) << "first fit passed over a block that fits";
        // Carved from the high end, or handed out whole.
        EXPECT_EQ(block + static_cast<long>(b->size),
                  before[place].offset + static_cast<long>(before[place].size));
      }
    } else if (!isFree) {
      EXPECT_EQ(f[0].number, 0) << "a place for a block not handed out";
    }

    bool freed = old >= 0 && (isFree || step.hasResult || verb.substr(verb.rfind(' ') + 1) == "0");
    long freedFact = isFree ? f[0].number : step.kind == 2 ? f[3].number : -1;
    if (freed) {
      ASSERT_GT(s, 0u);
      ASSERT_NE(steps.blockAt(s - 1, old - 16), nullptr);
      EXPECT_EQ(freedFact, old - 16);
      bool inFree = false;
      for (const heapsteps::StepBlock &b : steps[s].blocks)
        inFree |= b.state == heapsteps::BlockState::Free && b.offset <= old - 16 &&
                  old - 16 < b.offset + static_cast<long>(b.size);
      EXPECT_TRUE(inFree) << "the freed block is not free";
      holds.erase(source);
    } else {
      EXPECT_EQ(freedFact, -1);
    }
    if (!target.empty()) {
      holds.erase(target);
      if (step.hasResult) holds[target] = step.result;
    }
  }
}

TEST(HeaprunTest, WhatEachCallDidFollowsFromTheHeaps) {
  for (const heapview::HeapExample &e : heapview::kHeapExamples) {
    SCOPED_TRACE(e.name);
    if (e.ops != nullptr || std::string(e.name) == "first")  // the faults: see below
      expectFactsFollowFromTheHeaps(heapview::exampleScript(e));
  }
  // Every road at least once: set-up, splits, whole hand-outs, growth, the four merges,
  // refusals of each kind, realloc's move and realloc to 0.
  expectFactsFollowFromTheHeaps(
      "a = malloc 100\nb = malloc 8\nc = malloc 200\nd = malloc 8\nfree a\nfree c\n"
      "e = malloc 100\nfree b\nfree d\nz = malloc 0\nbig = malloc 3000000\nc2 = calloc 4 0\n"
      "o = calloc 4611686018427387904 8\nx = malloc 2000000\ny = malloc 2000000\n"
      "e = realloc e 50\nf = realloc x 0\ng = realloc null 64\nh = calloc 3 33\nfree y\n"
      "free null\nw = malloc 2097088\n");
  // Seeded random mallocs that all succeed (small ones, and large ones that take chunks), and
  // frees of names that hold a block.
  std::mt19937_64 rng(20261209);
  std::string script;
  std::map<std::string, bool> holding;
  for (int call = 0; call < 600; call++) {
    std::string n = "n" + std::to_string(rng() % 24);
    if (holding[n] && rng() % 2 == 0) {
      script += "free " + n + "\n";
      holding[n] = false;
    } else {
      size_t length = rng() % 10 == 0 ? 100000 + rng() % 1900000 : 1 + rng() % 3000;
      script += n + " = malloc " + std::to_string(length) + "\n";
      holding[n] = true;
    }
  }
  expectFactsFollowFromTheHeaps(script);
}

TEST(HeaprunTest, BadScriptsGetOneErrorLineAndStatusTwo) {
  std::string calls;  // a million of them
  for (int i = 0; i < 1000000; i++) calls += "x = malloc 1\n";
  const std::pair<std::string, std::string> cases[] = {
      {"a = mallok 5\n", "line 1: unknown word 'mallok'"},
      {"\n# nothing\na = malloc\n", "line 3: malloc needs a size"},
      {"a = malloc -3\n", "line 1: negative size '-3'"},
      {"a = calloc 2 x7\n", "line 1: size 'x7' is not a number"},
      {"a = malloc 18446744073709551616\n",
       "line 1: size '18446744073709551616' does not fit in 64 bits"},
      {std::string(33, 'n') + " = malloc 1\n",
       "line 1: name '" + std::string(33, 'n') + "' is longer than 32 characters"},
      {"a = malloc 1\nfree b\n", "line 2: free b: the name holds no block (never assigned)"},
      {"a = malloc 1 2\n", "line 1: unexpected '2'"},
      {calls, "line 10001: more than 10000 calls"},
      {std::string("a = malloc 1\nb = mal\0loc 2\n", 27), "line 2: NUL byte: a script is text"},
      {"# fine\n" + std::string(10 << 20, 'a') + "\n", "line 2: line longer than 1024 bytes"},
      // Allocation traces: the first line tells them from scripts.
      {"3\na 0 5\n7\n", "line 3: a header line of the trace after its first call"},
      {"a 0 5\nx = malloc 3\n",
       "line 2: a trace line is \"a ID SIZE\", \"r ID SIZE\" or \"f ID\", not 'x'"},
      {"a 0 5\na x 5\n", "line 2: unknown word 'x'"},
      {"2\na 0 5\nf 1\n", "line 3: free 1: the name holds no block (never assigned)"},
  };
  for (const auto &[script, error] : cases) {
    Ran r = heaprun(script);
    EXPECT_EQ(r.status, 2) << error;
    EXPECT_EQ(r.out, "") << error;  // checked before any call runs
    EXPECT_EQ(r.err, "heaprun: " + error + "\n");
  }
  // Lines that hold no call do not count, however many or long.
  Ran r =
      heaprun(std::string(1000000, '\n') + "#" + std::string(10 << 20, '#') + "\na = malloc 1\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Steps(r.out).size(), 1u);
}

TEST(HeaprunTest, ATraceRunsAsTheScriptOfItsCallsOnNamesID) {
  Ran trace = heaprun("20000\n3\n6\n1\na 0 512\na 1 128\na 2 40\nr 0 640\nf 1\nf 0\n");
  Ran script = heaprun("n0 = malloc 512\nn1 = malloc 128\nn2 = malloc 40\nn0 = realloc n0 640\n"
                       "free n1\nfree n0\n");
  ASSERT_EQ(trace.status, 0) << trace.err;
  ASSERT_EQ(script.status, 0) << script.err;
  // The same heaps, the names aside.
  Steps a(trace.out), b(script.out);
  ASSERT_EQ(a.size(), 6u);
  ASSERT_EQ(b.size(), 6u);
  const char *calls[] = {"0 = malloc 512", "1 = malloc 128", "2 = malloc 40",
                         "0 = realloc 0 640", "free 1", "free 0"};
  for (size_t s = 0; s < a.size(); s++) {
    EXPECT_EQ(a[s].call, calls[s]);
    EXPECT_EQ(a[s].line[7].items.size(), b[s].line[7].items.size()) << "step " << s + 1;
    for (size_t i = 0; i < a[s].line[7].items.size(); i++)
      EXPECT_EQ(a[s].facts()[i].number, b[s].facts()[i].number) << "step " << s + 1;
    EXPECT_EQ(a.list(static_cast<long>(s)), b.list(static_cast<long>(s)));
    ASSERT_EQ(a.blockCount(s), b.blockCount(s));
    for (size_t i = 0; i < a.blockCount(s); i++) {
      EXPECT_EQ(a.block(s, i).offset, b.block(s, i).offset);
      EXPECT_EQ(a.block(s, i).name.empty(), b.block(s, i).name.empty());
    }
  }
}

TEST(HeaprunTest, ARunStopsAtANameThatHoldsNoBlock) {
  const struct {
    const char *script;
    size_t steps;
    const char *error;
  } cases[] = {
      {"a = malloc 8\nfree a\nfree a\n", 2,
       "line 3: free a: the name holds no block (freed on line 2)"},
      {"a = malloc 0\nb = realloc a 5\n", 1,
       "line 2: realloc a: the name holds no block (null since line 1)"},
      {"a = malloc 8\nb = realloc a 16\nfree a\n", 2,
       "line 3: free a: the name holds no block (moved by realloc on line 2)"},
  };
  for (const auto &c : cases) {
    Ran r = heaprun(c.script);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Steps(r.out).size(), c.steps) << c.error;  // the steps before the error
    EXPECT_EQ(r.err, std::string("heaprun: ") + c.error + "\n");
  }
}

}  // namespace

namespace {

// A fault example's run, with its steps and its stop line read back.
struct FaultRun {
  Ran ran;
  heapsteps::Run steps;
  explicit FaultRun(const char *example) {
    for (const heapview::HeapExample &e : heapview::kHeapExamples)
      if (std::string(e.name) == example) ran = heaprun(heapview::exampleScript(e));
    steps = heapsteps::read(ran.out);
  }
};

// The hex words and links of a damaged step's line, as written.
std::vector<std::string> strings(const heapsteps::Value &v) {
  std::vector<std::string> found;
  if (v.kind == heapsteps::Value::String) found.push_back(v.text);
  for (const heapsteps::Value &item : v.items)
    for (const std::string &s : strings(item)) found.push_back(s);
  return found;
}

TEST(HeaprunTest, ADoubleFreeHandsOneBlockToTwoNames) {
  FaultRun r("double-free");
  ASSERT_EQ(r.ran.status, 0) << r.ran.err;
  ASSERT_TRUE(r.steps.ok) << r.steps.problem;
  ASSERT_EQ(r.steps.steps.size(), 7u);
  EXPECT_TRUE(r.steps.stop.isNull());
  long a = r.steps.steps[1].result - 16;
  // free! a: the list, as first fit follows it, leads from a back to a.
  const heapsteps::Value &list = r.steps.steps[4].line[9];
  ASSERT_EQ(list.items.size(), 2u);
  EXPECT_EQ(list[0].number, a);
  EXPECT_EQ(list[1].number, a);
  EXPECT_EQ(r.steps.steps[4].facts()[0].number, a);
  // c and d: the same block, both names on it.
  EXPECT_EQ(r.steps.steps[5].result, a + 16);
  EXPECT_EQ(r.steps.steps[6].result, a + 16);
  const heapsteps::StepBlock *shared = r.steps.blockAt(6, a);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared->name, "c,d");
}

TEST(HeaprunTest, AnOverflowShowsTheHeaderItBrokeAndTheCrashItCauses) {
  FaultRun r("overflow");
  ASSERT_EQ(r.ran.status, 0) << r.ran.err;
  ASSERT_TRUE(r.steps.ok) << r.steps.problem;
  ASSERT_EQ(r.steps.steps.size(), 4u);
  long top = r.steps.steps[0].result - 16;
  const heapsteps::Step &overflow = r.steps.steps[2];
  EXPECT_EQ(overflow.facts()[0].number, top);  // a's payload ends where top's header begins
  EXPECT_EQ(overflow.facts()[1].number, 16);
  const heapsteps::StepBlock *broken = r.steps.blockAt(2, top);
  ASSERT_NE(broken, nullptr);
  EXPECT_EQ(broken->state, heapsteps::BlockState::Broken);
  EXPECT_EQ(broken->size, 120u);  // drawn over the bytes it had
  EXPECT_EQ(strings(overflow.line[3]),
            std::vector<std::string>({"0x4141414141414141", "0x4141414141414141"}));
  // free top follows the size out of the heap: the run stops there, and says so.
  ASSERT_FALSE(r.steps.stop.isNull()) << r.ran.out;
  EXPECT_EQ(r.steps.stop["line"].number, 5);
  EXPECT_EQ(r.steps.stop["why"].text, "signal");
}

TEST(HeaprunTest, AWriteAfterFreeSendsTheListOutOfTheHeap) {
  FaultRun r("use-after-free");
  ASSERT_EQ(r.ran.status, 0) << r.ran.err;
  ASSERT_TRUE(r.steps.ok) << r.steps.problem;
  ASSERT_EQ(r.steps.steps.size(), 4u);
  const heapsteps::Step &write = r.steps.steps[3];
  long a = r.steps.steps[0].result - 16;
  EXPECT_EQ(write.facts()[0].number, a + 16);
  const heapsteps::Value &list = write.line[9];
  ASSERT_EQ(list.items.size(), 2u);
  EXPECT_EQ(list[0].number, a);
  EXPECT_EQ(list[1].text, "0x4141414141414141");
  ASSERT_FALSE(r.steps.stop.isNull()) << r.ran.out;
  EXPECT_EQ(r.steps.stop["line"].number, 5);
  EXPECT_EQ(r.steps.stop["why"].text, "signal");
}

// Seeded random scripts of calls and faults: whatever the damage, heaprun itself ends by itself
// with status 0 (or 2 and its error line), every line it wrote is JSON, and a run cut short
// ends with its stop line.
TEST(HeaprunTest, HostileFaultScriptsNeverTakeHeaprunDown) {
  std::mt19937_64 rng(20261210);
  for (int round = 0; round < 24; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string script;
    int named = 0;
    for (int call = 0; call < 40; call++) {
      std::string n = "n" + std::to_string(named > 0 ? rng() % named : 0);
      switch (named == 0 ? 0 : rng() % 6) {
        case 0:
        case 1:
          script += "n" + std::to_string(named++) + " = malloc " + std::to_string(rng() % 300) + "\n";
          break;
        case 2:
          script += "free! " + n + "\n";
          break;
        case 3:
          script += "overflow " + n + " " + std::to_string(1 + rng() % (rng() % 4 == 0 ? 65536 : 64)) + "\n";
          break;
        case 4:
          script += "write " + n + " " + std::to_string(1 + rng() % 16) + "\n";
          break;
        default:
          script += n + " = realloc " + n + " " + std::to_string(rng() % 500) + "\n";
      }
    }
    Ran r = heaprun(script);
    ASSERT_TRUE(r.status == 0 || r.status == 2) << r.status << " " << r.err << "\n" << script;
    if (r.status == 2) {
      EXPECT_EQ(r.err.rfind("heaprun: line ", 0), 0u) << r.err;
    }
    heapsteps::Run read = heapsteps::read(r.out);
    EXPECT_TRUE(read.ok) << read.problem << "\n" << script;
    size_t lines = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    EXPECT_EQ(lines, 1 + read.steps.size() + (read.stop.isNull() ? 0 : 1));
  }
}

// A 10,000-call script's output, the page's data, stays within 2.1 MB: splits, frees and
// merges all the way (the size the page had when it re-encoded a larger output).
TEST(HeaprunTest, TenThousandCallsMakeAtMostTwoPointOneMegabytes) {
  std::string script;
  for (int i = 0; i < 6667; i++) script += "b" + std::to_string(i) + " = malloc 100\n";
  for (int i = 0; i < 6666; i += 2) script += "free b" + std::to_string(i) + "\n";
  Ran r = heaprun(script);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 10001);  // the first line and the steps
  EXPECT_LE(r.out.size(), 2100000u);
}

// Seeded calls of the kind a long replay meets: small blocks freed, merged on either side and
// reused, reallocs that move, blocks large enough to take chunks of their own, names given a
// new block while they hold one, and requests the allocator refuses (0 bytes, beyond a chunk).
std::string longReplayScript(int calls, uint64_t seed) {
  std::mt19937_64 rng(seed);
  constexpr int kNames = 48;
  bool holds[kNames] = {};
  auto length = [&]() -> size_t {
    switch (rng() % 60) {
      case 0:
        return 0;
      case 1:
        return 3 << 20;
      case 2:
      case 3:
        return 200000 + rng() % 1800000;
      default:
        return 1 + rng() % 2000;
    }
  };
  std::string script;
  for (int i = 0; i < calls; i++) {
    int n = static_cast<int>(rng() % kNames);
    std::string name = "n" + std::to_string(n);
    size_t size = length();
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2:
        if (holds[n]) {
          script += "free " + name + "\n";
          holds[n] = false;
          continue;
        }
        [[fallthrough]];
      case 3:
      case 4:
        script += name + " = malloc " + std::to_string(size) + "\n";
        break;
      case 5:
        script += name + " = calloc " + std::to_string(1 + rng() % 4) + " " +
                  std::to_string(size / 4) + "\n";
        size = size / 4 == 0 ? 0 : size;
        break;
      default:
        script += name + " = realloc " + (holds[n] ? name : "null") + " " +
                  std::to_string(size) + "\n";
    }
    holds[n] = size > 0 && size <= 2097088;
  }
  return script;
}

// A long replay (heaprun-long --keep: each step read where its call changed the heap, --check:
// and compared with the whole heap) writes the very steps plain heaprun writes for the same
// calls, and the heaps it keeps between them are the whole heap at their steps.
TEST(HeaprunTest, ALongReplayWritesThePlainRunsStepsAndKeepsWholeHeaps) {
  std::string script = longReplayScript(4000, 20261211);
  Ran plain = heaprun(script);
  RunOptions options;
  options.input = script;
  options.outputToFile = true;
  options.timeoutMs = kRunMs;
  ChildResult kept = runProgram({HEAPRUN_LONG, "--keep", "--check"}, options);
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_TRUE(exitedWith(kept.status, 0)) << kept.status << kept.err;
  std::string steps;
  std::vector<std::string> heaps;
  for (size_t start = 0, end; (end = kept.out.find('\n', start)) != std::string::npos;
       start = end + 1)
    (kept.out.compare(start, 8, "{\"keep\":") == 0 ? heaps.emplace_back() : steps) +=
        kept.out.substr(start, end + 1 - start);
  ASSERT_EQ(std::count(steps.begin(), steps.end(), '\n'), 4001);
  size_t differ = static_cast<size_t>(
      std::mismatch(steps.begin(), steps.end(), plain.out.begin(), plain.out.end()).first -
      steps.begin());
  EXPECT_EQ(steps.size(), plain.out.size());
  EXPECT_EQ(differ, steps.size()) << "the first difference: " << steps.substr(differ, 200);

  Steps run(plain.out);
  int merged = 0, refused = 0, grown = 0, passedOver = 0;
  for (size_t s = 0; s < run.size(); s++) {
    merged += run[s].kind == 3 && !run[s].line[4].items.empty();
    refused += run[s].error == ENOMEM;
    grown += s > 0 && run[s].heap > run[s - 1].heap;
    passedOver += run[s].kind == 0 && run[s].facts()[0].number > 1;
  }
  EXPECT_GT(merged, 100);
  EXPECT_GT(refused, 10);
  EXPECT_GT(grown, 10);
  EXPECT_GT(passedOver, 100);
  ASSERT_GE(heaps.size(), 3u);  // after steps 1,024, 2,048 and 3,072
  for (const std::string &line : heaps) {
    heapsteps::Value v;
    ASSERT_TRUE(heapsteps::parse(line.substr(0, line.size() - 1), &v)) << line.substr(0, 80);
    long at = static_cast<long>(v["keep"].number);
    ASSERT_TRUE(at > 0 && at % 1024 == 0 && static_cast<size_t>(at) <= run.size()) << at;
    std::vector<heapsteps::StepBlock> blocks = run.blocksOf(v["blocks"]);
    const std::vector<heapsteps::StepBlock> &whole = run[static_cast<size_t>(at - 1)].blocks;
    ASSERT_EQ(blocks.size(), whole.size()) << "the heap kept after step " << at;
    for (size_t i = 0; i < blocks.size(); i++) {
      const heapsteps::StepBlock &a = blocks[i], &b = whole[i];
      EXPECT_TRUE(a.offset == b.offset && a.size == b.size && a.left == b.left &&
                  a.state == b.state && a.next == b.next && a.prev == b.prev && a.name == b.name)
          << "the heap kept after step " << at << ", block at " << a.offset;
    }
  }
}

}  // namespace

namespace {

// Under the heap check the same faults end the run at the call that meets them, with the
// check's report.
TEST(HeaprunTest, UnderTheHeapCheckEachFaultIsReportedWhereACallMeetsIt) {
  const struct {
    const char *example;
    long line;
    const char *call;
  } cases[] = {
      {"double-free", 5, "MyMalloc: free(): double free of a 136-byte block"},  // free! a
      {"overflow", 4, "MyMalloc: free(): written past the end of the block"},    // free a
      {"use-after-free", 5, "MyMalloc: malloc(): a free block's links broken"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.example);
    RunOptions options;
    for (const heapview::HeapExample &e : heapview::kHeapExamples)
      if (std::string(e.name) == c.example) options.input = heapview::exampleScript(e);
    options.outputToFile = true;
    options.timeoutMs = kRunMs;
    ChildResult r = runProgram({"/usr/bin/env", "MYMALLOC_CHECK=1", HEAPRUN}, options);
    ASSERT_TRUE(exitedWith(r.status, 0)) << r.status << r.err;
    heapsteps::Run run = heapsteps::read(r.out);
    ASSERT_TRUE(run.ok) << run.problem;
    ASSERT_FALSE(run.stop.isNull()) << r.out;
    EXPECT_EQ(run.stop["line"].number, c.line);
    EXPECT_EQ(run.stop["why"].text, "signal");
    EXPECT_EQ(run.stop["message"].text.rfind(c.call, 0), 0u) << run.stop["message"].text;
    EXPECT_EQ(run.steps.size(), static_cast<size_t>(c.line - 1));
  }
}

}  // namespace
