/* test1-4's calls from a C program: three 8-byte blocks, then two frees, the free list after
 * each. It must print what test1-4 prints. */
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

static int *allocateStage(int value, const char *stage) {
  int *mem = (int *)malloc(8);
  *mem = value;
  puts(stage);
  print_list();
  return mem;
}

static void freeStage(int *mem, const char *stage) {
  free(mem);
  puts(stage);
  print_list();
}

int main(void) {
  int *mem1, *mem2;
  puts("\n---- Running test1 ---");
  puts("Before any allocation");
  print_list();
  mem1 = allocateStage(10, "mem1 = malloc(8)");
  mem2 = allocateStage(11, "mem2 = malloc(8)");
  allocateStage(12, "mem3 = malloc(8)");
  freeStage(mem2, "free(mem2))");
  freeStage(mem1, "free(mem1))");
  exit(0);
}
