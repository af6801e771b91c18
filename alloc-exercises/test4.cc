// test4: frees every other block; none touches another free block, so each
// enters the free list by itself.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

constexpr int kSlots = 10000;  // capacity of the pointer array
int allocations = kSlots;      // must not exceed kSlots

int main() {
  char *blocks[kSlots];

  puts("\n---- Running test4 ---");
  for (int i = 0; i < allocations; i++) {
    blocks[i] = static_cast<char *>(malloc(100));
    *blocks[i] = 'd';
  }
  print_list();

  for (int i = 0; i < allocations; i += 2) free(blocks[i]);
  print_list();
  exit(0);
}
