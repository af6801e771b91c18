// Each function below makes the calls its program makes, in the same order,
// on a ProgramRun; keep them in step with alloc-exercises/.
#include "exercise_scripts.h"

#include <errno.h>

namespace exercises {
namespace {

void test0(ProgramRun &r) { r.write("\n---- Running test0 ---\n"); }

void test1(ProgramRun &r) {
  r.puts("\n---- Running test1 ---");
  for (int i = 0; i < 65535; i++) r.malloc(15);
  r.printList();
}

// The stages shared by test1-1 … test1-4; `stages` says how far to go.
void test1Stages(ProgramRun &r, const std::string &banner, int stages) {
  r.puts(banner);
  r.puts("Before any allocation");
  r.printList();
  Pointer mem[3];
  for (int i = 0; i < 3 && i < stages; i++) {
    mem[i] = r.malloc(8);
    r.puts("mem" + std::to_string(i + 1) + " = malloc(8)");
    r.printList();
  }
  if (stages >= 4) {
    r.free(mem[1]);
    r.puts("free(mem2))");
    r.printList();
  }
  if (stages >= 5) {
    r.free(mem[0]);
    r.puts("free(mem1))");
    r.printList();
  }
}

void test1_1(ProgramRun &r) { test1Stages(r, "\n---- Running test1-1 ---", 1); }
void test1_2(ProgramRun &r) { test1Stages(r, "\n---- Running test1-2 ---", 3); }
void test1_3(ProgramRun &r) { test1Stages(r, "\n---- Running test1 ---", 4); }
void test1_4(ProgramRun &r) { test1Stages(r, "\n---- Running test1 ---", 5); }

void test2(ProgramRun &r) {
  r.puts("\n---- Running test2 ---");
  for (int i = 0; i < 5; i++) {
    r.malloc(1500000);
    r.printList();
  }
}

void test3(ProgramRun &r) {
  r.puts("\n---- Running test3 ---");
  Pointer zero = r.malloc(0);
  r.puts(zero ? "\n---- MALLOC(0) TEST FAILED ---" : "\n---- MALLOC(0) TEST PASSED ---");
  Pointer huge = r.malloc(150000000);
  bool refused = !huge && r.errorNumber() == ENOMEM;
  r.puts(refused ? "\n---- MALLOC TOO LARGE TEST PASSED ---"
                 : "\n---- MALLOC TOO LARGE TEST FAILED ---");
}

// test4, and the first two stages of test10 with their stage lines.
std::vector<Pointer> allocateThenFreeEvens(ProgramRun &r, const char *afterAllocations,
                                           const char *afterFrees) {
  std::vector<Pointer> blocks;
  for (int i = 0; i < 10000; i++) blocks.push_back(r.malloc(100));
  if (afterAllocations) r.puts(afterAllocations);
  r.printList();
  for (int i = 0; i < 10000; i += 2) r.free(blocks[i]);
  if (afterFrees) r.puts(afterFrees);
  r.printList();
  return blocks;
}

void test4(ProgramRun &r) {
  r.puts("\n---- Running test4 ---");
  allocateThenFreeEvens(r, nullptr, nullptr);
}

void test10(ProgramRun &r) {
  r.puts("\n---- Running test10 ----");
  allocateThenFreeEvens(r, "\n---- AFTER ALLOCATIONS ----", "\n---- AFTER FREES ----");
  for (int i = 0; i < 10000; i++) r.malloc(100);
  r.puts("\n---- AFTER MORE ALLOCATIONS ----");
  r.printList();
}

// test5 … test7: `count` blocks of 8 bytes, the last one kept as a separator,
// then the others freed in the order `order` gives (1 = the first block).
void freeInOrder(ProgramRun &r, const std::string &banner, int count, const std::vector<int> &order,
                 const std::string &stage) {
  r.puts(banner);
  std::vector<Pointer> blocks;
  for (int i = 0; i < count; i++) blocks.push_back(r.malloc(8));
  r.puts("\n---- ALLOCATE ----");
  r.printList();
  for (int which : order) r.free(blocks[which - 1]);
  r.puts(stage);
  r.printList();
}

void test5(ProgramRun &r) {
  freeInOrder(r, "\n---- Running test5 ----", 3, {1, 2}, "\n---- FREE AND COALESCE RIGHT ----");
}
void test6(ProgramRun &r) {
  freeInOrder(r, "\n---- Running test6 ----", 3, {2, 1}, "\n---- FREE AND COALESCE LEFT ----");
}
void test7(ProgramRun &r) {
  freeInOrder(r, "\n---- Running test7 ---", 4, {1, 3, 2},
              "\n---- FREE AND COALESCE BOTH SIDES ----");
}

void test8(ProgramRun &r) {
  r.puts("\n---- Running test8 ---");
  r.printList();
  Pointer p = r.malloc(2097104);
  r.printList();
  r.free(p);
  r.printList();
}

}  // namespace

const std::vector<Exercise> &deterministicExercises() {
  static const std::vector<Exercise> all = {
      {"test0", test0},     {"test1", test1},     {"test1-1", test1_1}, {"test1-2", test1_2},
      {"test1-3", test1_3}, {"test1-4", test1_4}, {"test2", test2},     {"test3", test3},
      {"test4", test4},     {"test5", test5},     {"test6", test6},     {"test7", test7},
      {"test8", test8},     {"test10", test10},
  };
  return all;
}

}  // namespace exercises
