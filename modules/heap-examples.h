// The heap explorer's examples: the call sequences of exercise programs, as heaprun scripts.
// Keep them in step with alloc-exercises/.
#pragma once

namespace heapview {

struct HeapExample {
  const char *name;  // the menu's value
  const char *title;
  const char *script;
};

inline constexpr HeapExample kHeapExamples[] = {
    {"first", "A first look: malloc, calloc, realloc, free",
     "a = malloc 100\n"
     "b = calloc 4 25\n"
     "a = realloc a 300\n"
     "free b\n"},
    {"test1-1", "test1-1: the first split",
     "# test1-1: the first request splits the fresh block\n"
     "mem1 = malloc 8\n"},
    {"test1-2", "test1-2: more splits of the same block",
     "# test1-2: each block is carved below the one before\n"
     "mem1 = malloc 8\n"
     "mem2 = malloc 8\n"
     "mem3 = malloc 8\n"},
    {"test1-3", "test1-3: a freed block joins the list alone",
     "# test1-3: mem2 lies between two blocks in use\n"
     "mem1 = malloc 8\n"
     "mem2 = malloc 8\n"
     "mem3 = malloc 8\n"
     "free mem2\n"},
    {"test1-4", "test1-4: a merge with the free left neighbour",
     "# test1-4: mem1 merges with mem2, below it\n"
     "mem1 = malloc 8\n"
     "mem2 = malloc 8\n"
     "mem3 = malloc 8\n"
     "free mem2\n"
     "free mem1\n"},
    {"test5", "test5: merging with the right neighbour",
     "# test5: guard stays in use and keeps the rest apart\n"
     "first = malloc 8\n"
     "second = malloc 8\n"
     "guard = malloc 8\n"
     "free first\n"
     "free second\n"},
    {"test6", "test6: merging with the left neighbour",
     "# test6: the same blocks as test5, freed the other way round\n"
     "first = malloc 8\n"
     "second = malloc 8\n"
     "guard = malloc 8\n"
     "free second\n"
     "free first\n"},
    {"test7", "test7: merging with both neighbours at once",
     "# test7: second's neighbours are both free when it goes\n"
     "first = malloc 8\n"
     "second = malloc 8\n"
     "third = malloc 8\n"
     "guard = malloc 8\n"
     "free first\n"
     "free third\n"
     "free second\n"},
    {"test4", "test4: every other block freed (10 blocks for test4's 10,000)",
     "# test4 makes 10,000 blocks of 100 bytes and frees every other one;\n"
     "# here are ten. No freed block touches another, so each joins the list alone.\n"
     "b0 = malloc 100\n"
     "b1 = malloc 100\n"
     "b2 = malloc 100\n"
     "b3 = malloc 100\n"
     "b4 = malloc 100\n"
     "b5 = malloc 100\n"
     "b6 = malloc 100\n"
     "b7 = malloc 100\n"
     "b8 = malloc 100\n"
     "b9 = malloc 100\n"
     "free b0\n"
     "free b2\n"
     "free b4\n"
     "free b6\n"
     "free b8\n"},
    {"test2", "test2: a new chunk for each large request",
     "# test2: no remainder of 597,104 bytes holds a block of 1,500,016\n"
     "big1 = malloc 1500000\n"
     "big2 = malloc 1500000\n"
     "big3 = malloc 1500000\n"
     "big4 = malloc 1500000\n"
     "big5 = malloc 1500000\n"},
};

}  // namespace heapview
