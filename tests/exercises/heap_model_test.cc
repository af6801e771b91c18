// Checks the allocator model, and the replayed call sequences, against fixed
// expected results: the lists each exercise program prints when
// only its own calls reach the allocator, and the counts of its report.
#include "heap_model.h"

#include <gtest/gtest.h>

#include <map>

#include "exercise_scripts.h"

namespace exercises {
namespace {

constexpr long kChunk = 2097152;

struct Reference {
  std::vector<FreeList> lists;
  size_t heapSize;  // 0: the heap is never set up
  int mallocs;
  int frees;
};

FreeList test4AfterFrees() {
  FreeList list;
  for (long offset = 897256; offset <= 2097016; offset += 240) list.push_back({offset, 120});
  list.push_back({16, 897120});
  return list;
}

std::map<std::string, Reference> references() {
  const FreeList fresh = {{16, 2097120}};
  const std::vector<FreeList> test1_1 = {fresh, {{16, 2097088}}};
  std::vector<FreeList> test1_2 = test1_1;
  test1_2.push_back({{16, 2097056}});
  test1_2.push_back({{16, 2097024}});
  std::vector<FreeList> test1_3 = test1_2;
  test1_3.push_back({{2097072, 32}, {16, 2097024}});
  std::vector<FreeList> test1_4 = test1_3;
  test1_4.push_back({{2097072, 64}, {16, 2097024}});

  std::vector<FreeList> test2;
  for (long k = 1; k <= 5; k++) {
    FreeList list;
    for (long j = 1; j <= k; j++) list.push_back({16 + (k - j) * kChunk, 597104});
    test2.push_back(list);
  }
  const std::vector<FreeList> test4 = {{{16, 897120}}, test4AfterFrees()};
  std::vector<FreeList> test10 = test4;
  test10.push_back({{16, 297120}});
  const std::vector<FreeList> pairMerged = {{{16, 2097024}}, {{2097072, 64}, {16, 2097024}}};

  return {
      {"test0", {{}, 0, 0, 0}},
      {"test1", {{{}}, kChunk, 65535, 0}},
      {"test1-1", {test1_1, kChunk, 1, 0}},
      {"test1-2", {test1_2, kChunk, 3, 0}},
      {"test1-3", {test1_3, kChunk, 3, 1}},
      {"test1-4", {test1_4, kChunk, 3, 2}},
      {"test2", {test2, 5 * kChunk, 5, 0}},
      {"test3", {{}, kChunk, 2, 0}},
      {"test4", {test4, kChunk, 10000, 5000}},
      {"test5", {pairMerged, kChunk, 3, 2}},
      {"test6", {pairMerged, kChunk, 3, 2}},
      {"test7", {{{{16, 2096992}}, {{2097040, 96}, {16, 2096992}}}, kChunk, 4, 3}},
      {"test8", {{fresh, fresh, fresh}, kChunk, 1, 1}},
      {"test10", {test10, kChunk, 20000, 5000}},
  };
}

TEST(HeapModel, ReproducesTheReferenceResultsOfEveryProgram) {
  const std::map<std::string, Reference> expected = references();
  ASSERT_EQ(deterministicExercises().size(), expected.size());
  for (const Exercise &exercise : deterministicExercises()) {
    SCOPED_TRACE(exercise.name);
    const Reference &ref = expected.at(exercise.name);
    ProgramRun run(0);  // nothing but the program allocates
    exercise.run(run);
    std::string output = run.exit();
    EXPECT_TRUE(run.lists() == ref.lists);
    EXPECT_EQ(run.heap().heapSize(), ref.heapSize);
    EXPECT_EQ(run.heap().mallocCalls(), ref.mallocs);
    EXPECT_EQ(run.heap().freeCalls(), ref.frees);
    // The report follows the program's output exactly when the heap was set up.
    bool reported = output.find("\n-------------------\nHeapSize:\t") != std::string::npos;
    EXPECT_EQ(reported, ref.heapSize != 0);
  }
}

TEST(HeapModel, TheOutputOfTest3AndTest0) {
  ProgramRun test3(0);
  for (const Exercise &e : deterministicExercises())
    if (e.name == "test3") e.run(test3);
  EXPECT_EQ(test3.exit(),
            "\n---- Running test3 ---\n"
            "\n---- MALLOC(0) TEST PASSED ---\n"
            "\n---- MALLOC TOO LARGE TEST PASSED ---\n"
            "\n-------------------\nHeapSize:\t2097152 bytes\n# mallocs:\t2\n# reallocs:\t0\n"
            "# callocs:\t0\n# frees:\t0\n\n-------------------\n");
  ProgramRun test0(4096);
  deterministicExercises().front().run(test0);
  EXPECT_EQ(test0.exit(), "\n---- Running test0 ---\n");  // write(2) takes no buffer
}

// Three blocks X, Y, Z freed middle, top, bottom: all four list positions.
TEST(HeapModel, MergesWithBothNeighboursInTheRightNeighboursPlace) {
  HeapModel heap;
  Pointer x = heap.malloc(8), y = heap.malloc(8), z = heap.malloc(8);
  EXPECT_EQ(*x, 2097104 + 16);
  EXPECT_EQ(*y, 2097072 + 16);
  EXPECT_EQ(*z, 2097040 + 16);
  heap.free(y);
  EXPECT_EQ(heap.list(), (FreeList{{2097072, 32}, {16, 2097024}}));
  heap.free(x);
  EXPECT_EQ(heap.list(), (FreeList{{2097072, 64}, {16, 2097024}}));
  heap.free(z);
  EXPECT_EQ(heap.list(), (FreeList{{16, 2097120}}));
}

TEST(HeapModel, SplitsOnlyWhenTheRemainderCanHoldAFreeBlock) {
  HeapModel heap;
  Pointer big = heap.malloc(2097120 - 16 - 56);  // leaves 56 at offset 16
  ASSERT_TRUE(big);
  Pointer a = heap.malloc(8);  // 56 - 32 = 24 < 32: handed out whole
  EXPECT_EQ(*a, 16 + 16);
  EXPECT_TRUE(heap.list().empty());
  heap.free(a);
  heap.malloc(1);  // 56 - 32 = 24 again; the largest requests are refused
  EXPECT_FALSE(heap.malloc(2097089));
  EXPECT_TRUE(heap.malloc(2097088));  // a second chunk, used whole
  EXPECT_EQ(heap.heapSize(), 2u * kChunk);
  EXPECT_TRUE(heap.list().empty());
}

TEST(HeapModel, TakesTheFirstFitInListOrderAndPutsANewChunkFirst) {
  HeapModel heap;
  Pointer low = heap.malloc(200);   // 216 at 2096920
  heap.malloc(8);                   // keeps low and high apart
  Pointer high = heap.malloc(100);  // 120 at 2096768
  heap.malloc(8);                   // keeps high and the rest apart
  heap.free(low);
  heap.free(high);              // list: high (120), low (216), the rest
  Pointer p = heap.malloc(50);  // 72 fits both: the head, high, is split
  EXPECT_EQ(*p, 2096768 + 48 + 16);
  EXPECT_EQ(heap.list(), (FreeList{{2096768, 48}, {2096920, 216}, {16, 2096720}}));
  heap.malloc(2097000);  // fits nowhere: a new chunk heads the list
  EXPECT_EQ(heap.list(),
            (FreeList{{kChunk + 16, 104}, {2096768, 48}, {2096920, 216}, {16, 2096720}}));
}

// With stdout's 4096-byte buffer taken first, test1's 65535 blocks no longer
// fit: 65406 use the first chunk up (the last one whole, 48 bytes), 129 more
// come from a second chunk.
TEST(HeapModel, Test1WithTheStdioBufferTakesASecondChunk) {
  ProgramRun run(4096);
  for (const Exercise &e : deterministicExercises())
    if (e.name == "test1") e.run(run);
  EXPECT_EQ(run.lists(), (std::vector<FreeList>{{{kChunk + 16, 2097120 - 129 * 32}}}));
  EXPECT_EQ(run.heap().heapSize(), 2u * kChunk);
  EXPECT_EQ(run.heap().mallocCalls(), 65536);
}

TEST(HeapModel, ListAndReportTexts) {
  EXPECT_EQ(listText({}), "FreeList: \n");
  EXPECT_EQ(listText({{2097072, 32}, {16, 2097024}}),
            "FreeList: [offset:2097072,size:32]->[offset:16,size:2097024]\n");
  HeapModel heap;
  heap.malloc(1);
  heap.free(std::nullopt);
  EXPECT_EQ(reportText(heap),
            "\n-------------------\nHeapSize:\t2097152 bytes\n# mallocs:\t1\n# reallocs:\t0\n"
            "# callocs:\t0\n# frees:\t1\n\n-------------------\n");
}

}  // namespace
}  // namespace exercises
