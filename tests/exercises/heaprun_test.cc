// heaprun's JSON checked against the exercise programs' own lists for the same calls, against
// the allocator model and the heap's rules for seeded random scripts; bad and hostile scripts
// refused with one error line and status 2.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "child.h"
#include "heap-examples.h"
#include "heap_model.h"
#include "heapsteps.h"

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

// heaprun's steps, read with the explorer's own reader; fails the test if any line is not one.
struct Steps {
  heapview::HeapRun run{};
  std::string text;
  explicit Steps(std::string output) : text(std::move(output)) {
    EXPECT_TRUE(heapview::readHeapRun(text.data(), text.size(), &run));
    EXPECT_FALSE(run.unreadable);
  }
  ~Steps() { heapview::freeHeapRun(&run); }
  size_t size() const { return run.stepCount; }
  const heapview::Step &operator[](size_t i) const { return run.steps[i]; }
  const heapview::StepBlock &block(size_t step, size_t i) const {
    return run.blocks[run.steps[step].firstBlock + i];
  }
  exercises::FreeList freeList(size_t step) const {
    exercises::FreeList list;
    for (size_t i = 0; i < run.steps[step].freeCount; i++) {
      const heapview::FreeEntry &f = run.frees[run.steps[step].firstFree + i];
      list.push_back({f.offset, f.size});
    }
    return list;
  }
};

std::string name(const heapview::Text &t) {
  return t.start ? std::string(t.start, t.length) : std::string();
}

// The heap's rules over one step's blocks: each chunk fenced where the previous one ends and
// tiled by its blocks, no two free neighbours, the free list holding exactly the free blocks,
// and each used block named by the name that holds it (held: payload offset -> name).
void expectHeapRules(const Steps &steps, size_t s, const std::map<long, std::string> &held) {
  const heapview::Step &step = steps[s];
  std::map<long, size_t> freeBlocks, listed;
  size_t named = 0;
  long at = 0;
  for (size_t i = 0; i < step.blockCount;) {
    ASSERT_EQ(steps.block(s, i).state, heapview::BlockState::Fence) << "step " << s + 1;
    ASSERT_EQ(steps.block(s, i).offset, at);
    long end = at + kChunk - 16;
    bool leftFree = false;
    at += 16;
    for (i++; i < step.blockCount && steps.block(s, i).state != heapview::BlockState::Fence; i++) {
      const heapview::StepBlock &b = steps.block(s, i);
      ASSERT_EQ(b.offset, at) << "step " << s + 1 << ": a gap or an overlap";
      bool isFree = b.state == heapview::BlockState::Free;
      EXPECT_FALSE(isFree && leftFree) << "step " << s + 1 << ": two free neighbours at " << at;
      if (isFree) freeBlocks[b.offset] = b.size;
      auto holder = held.find(b.offset + 16);
      if (!isFree && holder != held.end()) {
        EXPECT_EQ(name(b.name), holder->second) << "step " << s + 1;
        named++;
      } else {
        EXPECT_EQ(b.name.start, nullptr) << "step " << s + 1 << ": a name for a block it lost";
      }
      leftFree = isFree;
      at += static_cast<long>(b.size);
    }
    ASSERT_LT(i, step.blockCount) << "step " << s + 1 << ": a chunk without its right fencepost";
    ASSERT_EQ(steps.block(s, i).offset, end);
    at = end + 16;
    i++;
  }
  EXPECT_EQ(named, held.size()) << "step " << s + 1;
  for (const exercises::FreeEntry &f : steps.freeList(s)) listed[f.offset] = f.size;
  EXPECT_EQ(listed, freeBlocks) << "step " << s + 1;
  EXPECT_EQ(steps.freeList(s).size(), listed.size()) << "step " << s + 1 << ": listed twice";
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
  // Each program's lists, by the step after which it prints them; heaprun's step 1 is the
  // buffer its stdio mallocs before the program's first call.
  const std::map<std::string, std::vector<size_t>> listSteps = {
      {"test1-1", {1, 2}},
      {"test1-2", {1, 2, 3, 4}},
      {"test1-3", {1, 2, 3, 4, 5}},
      {"test1-4", {1, 2, 3, 4, 5, 6}},
      {"test5", {4, 6}},
      {"test6", {4, 6}},
      {"test7", {5, 8}},
      {"test2", {2, 3, 4, 5, 6}},
  };
  for (const auto &[program, at] : listSteps) {
    SCOPED_TRACE(program);
    size_t stdioBuffer = 0;
    std::string output = programOutput(std::string(EXERCISE_BIN_DIR) + "/" + program, &stdioBuffer);
    std::vector<std::string> printed;
    for (size_t start = output.find("FreeList: "); start != std::string::npos;
         start = output.find("FreeList: ", start + 1))
      printed.push_back(output.substr(start, output.find('\n', start) + 1 - start));
    const heapview::HeapExample *example = nullptr;
    for (const heapview::HeapExample &e : heapview::kHeapExamples)
      if (program == e.name) example = &e;
    ASSERT_NE(example, nullptr);
    Ran r = heaprun("stdio = malloc " + std::to_string(stdioBuffer) + "\n" + example->script);
    ASSERT_EQ(r.status, 0) << r.err;
    Steps steps(r.out);
    ASSERT_EQ(printed.size(), at.size());
    for (size_t i = 0; i < at.size(); i++) {
      ASSERT_LE(at[i], steps.size());
      EXPECT_EQ(exercises::listText(steps.freeList(at[i] - 1)), printed[i]) << "list " << i + 1;
    }
  }
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
      EXPECT_EQ(steps.freeList(s), e.list) << "step " << s + 1;
      expectHeapRules(steps, s, e.held);
    }
    EXPECT_EQ(steps[steps.size() - 1].heap, model.heapSize());
  }
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
