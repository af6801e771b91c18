// The heap explorer's examples. Each exercise program that can be scripted (all but test0,
// which makes no call, and the threaded test9) is written here once, as the steps it takes: the
// explorer's example is a heaprun script made from them at the example's scale (ten blocks for
// test4's 10,000, say), and the exercise tests replay them at the program's own scale to
// predict its whole output. Keep them in step with alloc-exercises/. Then the scripts that are
// no program's: a first look, and three faults committed on purpose.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace heapview {

// One step of an exercise program.
struct ExerciseOp {
  enum Kind : unsigned char {
    Puts,       // the program puts(text)
    Write,      // the program write(2)s text
    List,       // print_list()
    Malloc,     // count calls of malloc(size): named text, or text0, text1, ... when counted
    Free,       // free(text): a name, or null
    FreeEvens,  // free(text0), free(text2), ... of the blocks the Malloc of stem text made
    Check,      // puts(text) if the last malloc gave null (and ENOMEM, if size), else other
  } kind;
  const char *text;
  size_t size = 0;
  int programCount = 1;  // Malloc: calls in the program (0: the example's stand-in only)
  int exampleCount = 1;  // Malloc: calls in the example
  const char *other = nullptr;
};

struct HeapExample {
  const char *name;  // the menu's value, and the program's name for an exercise
  const char *title;
  const char *comment;          // the script's first lines, each starting with '#'
  const ExerciseOp *ops;        // an exercise's steps, or null
  size_t opCount;
  const char *script;           // the script of an example that is no program's, or null
};

using Op = ExerciseOp;

inline constexpr Op kTest0[] = {{Op::Write, "\n---- Running test0 ---\n"}};
inline constexpr Op kTest1[] = {
    {Op::Puts, "\n---- Running test1 ---"},
    {Op::Malloc, "most", 2097008, 0, 1},  // the example's stand-in for 65,532 of the calls
    {Op::Malloc, "m", 15, 65535, 3},
    {Op::List, nullptr}};
// test1-1 to test1-4: each takes one stage more of these.
#define HEAP_EXAMPLE_TEST1_STAGES                                                              \
  {Op::Puts, "Before any allocation"}, {Op::List, nullptr}, {Op::Malloc, "mem1", 8},            \
      {Op::Puts, "mem1 = malloc(8)"}, {Op::List, nullptr}
#define HEAP_EXAMPLE_TEST1_2_STAGES                                                            \
  HEAP_EXAMPLE_TEST1_STAGES, {Op::Malloc, "mem2", 8}, {Op::Puts, "mem2 = malloc(8)"},           \
      {Op::List, nullptr}, {Op::Malloc, "mem3", 8}, {Op::Puts, "mem3 = malloc(8)"},             \
      {Op::List, nullptr}
#define HEAP_EXAMPLE_TEST1_3_STAGES                                                            \
  HEAP_EXAMPLE_TEST1_2_STAGES, {Op::Free, "mem2"}, {Op::Puts, "free(mem2))"}, {Op::List, nullptr}
inline constexpr Op kTest1_1[] = {{Op::Puts, "\n---- Running test1-1 ---"},
                                  HEAP_EXAMPLE_TEST1_STAGES};
inline constexpr Op kTest1_2[] = {{Op::Puts, "\n---- Running test1-2 ---"},
                                  HEAP_EXAMPLE_TEST1_2_STAGES};
inline constexpr Op kTest1_3[] = {{Op::Puts, "\n---- Running test1 ---"},
                                  HEAP_EXAMPLE_TEST1_3_STAGES};
inline constexpr Op kTest1_4[] = {{Op::Puts, "\n---- Running test1 ---"},
                                  HEAP_EXAMPLE_TEST1_3_STAGES,
                                  {Op::Free, "mem1"},
                                  {Op::Puts, "free(mem1))"},
                                  {Op::List, nullptr}};
#undef HEAP_EXAMPLE_TEST1_3_STAGES
#undef HEAP_EXAMPLE_TEST1_2_STAGES
#undef HEAP_EXAMPLE_TEST1_STAGES
inline constexpr Op kTest2[] = {
    {Op::Puts, "\n---- Running test2 ---"},
    {Op::Malloc, "big1", 1500000}, {Op::List, nullptr}, {Op::Malloc, "big2", 1500000},
    {Op::List, nullptr}, {Op::Malloc, "big3", 1500000}, {Op::List, nullptr},
    {Op::Malloc, "big4", 1500000}, {Op::List, nullptr}, {Op::Malloc, "big5", 1500000},
    {Op::List, nullptr}};
inline constexpr Op kTest3[] = {
    {Op::Puts, "\n---- Running test3 ---"},
    {Op::Malloc, "zero", 0},
    {Op::Check, "\n---- MALLOC(0) TEST PASSED ---", 0, 1, 1, "\n---- MALLOC(0) TEST FAILED ---"},
    {Op::Malloc, "huge", 150000000},
    {Op::Check, "\n---- MALLOC TOO LARGE TEST PASSED ---", 1, 1, 1,
     "\n---- MALLOC TOO LARGE TEST FAILED ---"}};
inline constexpr Op kTest4[] = {{Op::Puts, "\n---- Running test4 ---"},
                                {Op::Malloc, "b", 100, 10000, 10},
                                {Op::List, nullptr},
                                {Op::FreeEvens, "b"},
                                {Op::List, nullptr}};
inline constexpr Op kTest10[] = {{Op::Puts, "\n---- Running test10 ----"},
                                 {Op::Malloc, "b", 100, 10000, 10},
                                 {Op::Puts, "\n---- AFTER ALLOCATIONS ----"},
                                 {Op::List, nullptr},
                                 {Op::FreeEvens, "b"},
                                 {Op::Puts, "\n---- AFTER FREES ----"},
                                 {Op::List, nullptr},
                                 {Op::Malloc, "c", 100, 10000, 7},
                                 {Op::Puts, "\n---- AFTER MORE ALLOCATIONS ----"},
                                 {Op::List, nullptr}};
// test5 to test7: blocks of 8 bytes, the last one keeping the others apart, then frees.
#define HEAP_EXAMPLE_THREE_BLOCKS(banner)                                                      \
  {Op::Puts, banner}, {Op::Malloc, "first", 8}, {Op::Malloc, "second", 8}
inline constexpr Op kTest5[] = {HEAP_EXAMPLE_THREE_BLOCKS("\n---- Running test5 ----"),
                                {Op::Malloc, "guard", 8},
                                {Op::Puts, "\n---- ALLOCATE ----"},
                                {Op::List, nullptr},
                                {Op::Free, "first"},
                                {Op::Free, "second"},
                                {Op::Puts, "\n---- FREE AND COALESCE RIGHT ----"},
                                {Op::List, nullptr}};
inline constexpr Op kTest6[] = {HEAP_EXAMPLE_THREE_BLOCKS("\n---- Running test6 ----"),
                                {Op::Malloc, "guard", 8},
                                {Op::Puts, "\n---- ALLOCATE ----"},
                                {Op::List, nullptr},
                                {Op::Free, "second"},
                                {Op::Free, "first"},
                                {Op::Puts, "\n---- FREE AND COALESCE LEFT ----"},
                                {Op::List, nullptr}};
inline constexpr Op kTest7[] = {HEAP_EXAMPLE_THREE_BLOCKS("\n---- Running test7 ---"),
                                {Op::Malloc, "third", 8},
                                {Op::Malloc, "guard", 8},
                                {Op::Puts, "\n---- ALLOCATE ----"},
                                {Op::List, nullptr},
                                {Op::Free, "first"},
                                {Op::Free, "third"},
                                {Op::Free, "second"},
                                {Op::Puts, "\n---- FREE AND COALESCE BOTH SIDES ----"},
                                {Op::List, nullptr}};
#undef HEAP_EXAMPLE_THREE_BLOCKS
inline constexpr Op kTest8[] = {{Op::Puts, "\n---- Running test8 ---"},
                                {Op::List, nullptr},
                                {Op::Malloc, "p", 2097104},
                                {Op::List, nullptr},
                                {Op::Free, "null"},  // p, which is null
                                {Op::List, nullptr}};

#define HEAP_EXAMPLE(program, ops) ops, sizeof ops / sizeof ops[0], nullptr
#define HEAP_SCRIPT(text) nullptr, 0, text

inline constexpr HeapExample kHeapExamples[] = {
    {"first", "A first look: malloc, calloc, realloc, free", "",
     HEAP_SCRIPT("a = malloc 100\nb = calloc 4 25\na = realloc a 300\nfree b\n")},
    {"test1", "test1: a block used up exactly (one request stands for 65,532 of test1's)",
     "# test1 makes 65,535 blocks of 32 bytes, which fill the fresh block exactly;\n"
     "# here one large block takes the place of all but the last three.\n",
     HEAP_EXAMPLE(test1, kTest1)},
    {"test1-1", "test1-1: the first split", "# test1-1: the first request splits the fresh block\n",
     HEAP_EXAMPLE(test1-1, kTest1_1)},
    {"test1-2", "test1-2: more splits of the same block",
     "# test1-2: each block is carved below the one before\n", HEAP_EXAMPLE(test1-2, kTest1_2)},
    {"test1-3", "test1-3: a freed block joins the list alone",
     "# test1-3: mem2 lies between two blocks in use\n", HEAP_EXAMPLE(test1-3, kTest1_3)},
    {"test1-4", "test1-4: a merge with the free left neighbour",
     "# test1-4: mem1 merges with mem2, below it\n", HEAP_EXAMPLE(test1-4, kTest1_4)},
    {"test2", "test2: a new chunk for each large request",
     "# test2: no remainder of 597,104 bytes holds a block of 1,500,016\n",
     HEAP_EXAMPLE(test2, kTest2)},
    {"test3", "test3: a request of 0 bytes and one beyond the limit",
     "# test3: both get null; only the second sets errno (ENOMEM)\n", HEAP_EXAMPLE(test3, kTest3)},
    {"test4", "test4: every other block freed (10 blocks for test4's 10,000)",
     "# test4 makes 10,000 blocks of 100 bytes and frees every other one;\n"
     "# here are ten. No freed block touches another, so each joins the list alone.\n",
     HEAP_EXAMPLE(test4, kTest4)},
    {"test5", "test5: merging with the right neighbour",
     "# test5: guard stays in use and keeps the rest apart\n", HEAP_EXAMPLE(test5, kTest5)},
    {"test6", "test6: merging with the left neighbour",
     "# test6: the same blocks as test5, freed the other way round\n", HEAP_EXAMPLE(test6, kTest6)},
    {"test7", "test7: merging with both neighbours at once",
     "# test7: second's neighbours are both free when it goes\n", HEAP_EXAMPLE(test7, kTest7)},
    {"test8", "test8: a request just above the largest block",
     "# test8: 2097104 bytes and the header make 2097120, above the largest block;\n"
     "# the program frees the null it gets\n",
     HEAP_EXAMPLE(test8, kTest8)},
    {"test10", "test10: freed blocks reused whole, then splitting again (10 for 10,000)",
     "# test10 is test4 and then as many requests again: the first half reuse the\n"
     "# freed blocks whole, head of the list first; the rest split the large block.\n",
     HEAP_EXAMPLE(test10, kTest10)},
    {"double-free", "A fault: a double free hands one block to two names",
     "# free! frees a block that is already free. The free list then leads from a\n"
     "# back to a, and first fit hands a out twice.\n",
     HEAP_SCRIPT("top = malloc 100   # keeps a below the chunk's last bytes\n"
                 "a = malloc 100\n"
                 "guard = malloc 100 # keeps a from merging with the free block below\n"
                 "free a\n"
                 "free! a\n"
                 "c = malloc 100\n"
                 "d = malloc 100\n")},
    {"overflow", "A fault: an overflow into the next block's header",
     "# overflow writes past the end of a's payload, over the header of top, the\n"
     "# block above: its size now runs far past the chunk.\n",
     HEAP_SCRIPT("top = malloc 100\n"
                 "a = malloc 100\n"
                 "overflow a 16\n"
                 "free a     # top looks in use, so a merges only below\n"
                 "free top   # free follows top's size out of the heap\n")},
    {"use-after-free", "A fault: a write after free breaks the free list",
     "# a is freed, then written to: the bytes land on its _nextFree and _prevFree,\n"
     "# and the next search along the list follows them.\n",
     HEAP_SCRIPT("a = malloc 100\n"
                 "b = malloc 100\n"
                 "free a\n"
                 "write a 16\n"
                 "c = malloc 200\n")},
};

#undef HEAP_SCRIPT
#undef HEAP_EXAMPLE

// The name of the i-th of count blocks of stem: the stem alone for a single block.
inline void exerciseName(char *out, size_t room, const char *stem, int i, int count) {
  if (count == 1)
    snprintf(out, room, "%s", stem);
  else
    snprintf(out, room, "%s%d", stem, i);
}

// The calls a Malloc op of stem made at a scale.
inline int exerciseCount(const ExerciseOp *ops, size_t n, const char *stem, bool example) {
  for (size_t i = 0; i < n; i++)
    if (ops[i].kind == ExerciseOp::Malloc && strcmp(ops[i].text, stem) == 0)
      return example ? ops[i].exampleCount : ops[i].programCount;
  return 0;
}

// An example's heaprun script (kept for the life of the process), or null if memory ran out.
inline const char *exampleScript(const HeapExample &e) {
  if (e.script != nullptr) return e.script;
  static const char *made[sizeof kHeapExamples / sizeof kHeapExamples[0]];
  const char *&text = made[&e - kHeapExamples];
  if (text != nullptr) return text;
  char *buf = nullptr;
  size_t length = 0;
  FILE *out = open_memstream(&buf, &length);
  if (out == nullptr) return nullptr;
  fputs(e.comment, out);
  char name[64];
  for (size_t i = 0; i < e.opCount; i++) {
    const ExerciseOp &op = e.ops[i];
    if (op.kind == ExerciseOp::Malloc) {
      for (int k = 0; k < op.exampleCount; k++) {
        exerciseName(name, sizeof name, op.text, k, op.exampleCount);
        fprintf(out, "%s = malloc %zu\n", name, op.size);
      }
    } else if (op.kind == ExerciseOp::Free) {
      fprintf(out, "free %s\n", op.text);
    } else if (op.kind == ExerciseOp::FreeEvens) {
      int count = exerciseCount(e.ops, e.opCount, op.text, true);
      for (int k = 0; k < count; k += 2) fprintf(out, "free %s%d\n", op.text, k);
    }
  }
  if (fclose(out) != 0) return nullptr;
  text = buf;
  return text;
}

}  // namespace heapview
