// The heap explorer's examples: the call sequences of the exercise programs that can be
// scripted (all but test0, which makes no call, and the threaded test9), in the programs' order,
// as heaprun scripts. Keep them in step with alloc-exercises/.
#pragma once

namespace heapview {

struct HeapExample {
  const char *name;  // the menu's value
  const char *title;
  const char *script;
};

// test4's calls on ten blocks, which test10 begins with.
#define HEAP_EXAMPLE_TEST4_CALLS                                                             \
  "b0 = malloc 100\nb1 = malloc 100\nb2 = malloc 100\nb3 = malloc 100\nb4 = malloc 100\n"       \
  "b5 = malloc 100\nb6 = malloc 100\nb7 = malloc 100\nb8 = malloc 100\nb9 = malloc 100\n"       \
  "free b0\nfree b2\nfree b4\nfree b6\nfree b8\n"

inline constexpr HeapExample kHeapExamples[] = {
    {"first", "A first look: malloc, calloc, realloc, free",
     "a = malloc 100\n"
     "b = calloc 4 25\n"
     "a = realloc a 300\n"
     "free b\n"},
    {"test1", "test1: a block used up exactly (one request stands for 65,532 of test1's)",
     "# test1 makes 65,535 blocks of 32 bytes, which fill the fresh block exactly;\n"
     "# here one large block takes the place of all but the last three.\n"
     "most = malloc 2097008\n"
     "m1 = malloc 15\n"
     "m2 = malloc 15\n"
     "last = malloc 15\n"},
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
    {"test2", "test2: a new chunk for each large request",
     "# test2: no remainder of 597,104 bytes holds a block of 1,500,016\n"
     "big1 = malloc 1500000\n"
     "big2 = malloc 1500000\n"
     "big3 = malloc 1500000\n"
     "big4 = malloc 1500000\n"
     "big5 = malloc 1500000\n"},
    {"test3", "test3: a request of 0 bytes and one beyond the limit",
     "# test3: both get null; only the second sets errno (ENOMEM)\n"
     "zero = malloc 0\n"
     "huge = malloc 150000000\n"},
    {"test4", "test4: every other block freed (10 blocks for test4's 10,000)",
     "# test4 makes 10,000 blocks of 100 bytes and frees every other one;\n"
     "# here are ten. No freed block touches another, so each joins the list alone.\n"
     HEAP_EXAMPLE_TEST4_CALLS},
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
    {"test8", "test8: a request just above the largest block",
     "# test8: 2097104 bytes and the header make 2097120, above the largest block;\n"
     "# the program frees the null it gets\n"
     "p = malloc 2097104\n"
     "free null\n"},
    {"test10", "test10: freed blocks reused whole, then splitting again (10 for 10,000)",
     "# test10 is test4 and then as many requests again: the first half reuse the\n"
     "# freed blocks whole, head of the list first; the rest split the large block.\n"
     HEAP_EXAMPLE_TEST4_CALLS
     "c0 = malloc 100\n"
     "c1 = malloc 100\n"
     "c2 = malloc 100\n"
     "c3 = malloc 100\n"
     "c4 = malloc 100\n"
     "c5 = malloc 100\n"
     "c6 = malloc 100\n"},
};

}  // namespace heapview

#undef HEAP_EXAMPLE_TEST4_CALLS
