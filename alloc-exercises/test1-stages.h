// The stages that test1-1 to test1-4 share; each program goes one stage further.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

struct Test1Blocks {
  int *mem1, *mem2, *mem3;
};

// Stores `value` into a new 8-byte block, then shows the list under `stage`.
inline int *allocateStage(int value, const char *stage) {
  int *mem = static_cast<int *>(malloc(8));
  *mem = value;
  puts(stage);
  print_list();
  return mem;
}

// Prints the banner and the list before any allocation (which sets the heap
// up), then allocates mem1 and, if `blocks` is 3, mem2 and mem3.
inline Test1Blocks allocateStages(const char *banner, int blocks) {
  Test1Blocks m = {};
  puts(banner);
  puts("Before any allocation");
  print_list();
  m.mem1 = allocateStage(10, "mem1 = malloc(8)");
  if (blocks < 3) return m;
  m.mem2 = allocateStage(11, "mem2 = malloc(8)");
  m.mem3 = allocateStage(12, "mem3 = malloc(8)");
  return m;
}

// Frees a block, then shows the list under `stage`.
inline void freeStage(int *mem, const char *stage) {
  free(mem);
  puts(stage);
  print_list();
}
