// test10: after every other block is freed, new requests of the same size
// reuse the freed blocks whole, in list order, before splitting resumes.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

constexpr int kSlots = 10000;  // capacity of the pointer array
int allocations = kSlots;      // must not exceed kSlots

int main() {
  char *blocks[kSlots];

  puts("\n---- Running test10 ----");
  for (int i = 0; i < allocations; i++) {
    blocks[i] = static_cast<char *>(malloc(100));
    *blocks[i] = 'd';
  }
  puts("\n---- AFTER ALLOCATIONS ----");
  print_list();

  for (int i = 0; i < allocations; i += 2) free(blocks[i]);
  puts("\n---- AFTER FREES ----");
  print_list();

  for (int i = 0; i < allocations; i++) {
    blocks[i] = static_cast<char *>(malloc(100));
    *blocks[i] = 'd';
  }
  puts("\n---- AFTER MORE ALLOCATIONS ----");
  print_list();
  exit(0);
}
