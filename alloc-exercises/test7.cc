// test7: a freed block merges with free neighbours on both sides at once.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int main() {
  puts("\n---- Running test7 ---");
  void *first = malloc(8);  // directly below the right fencepost
  void *second = malloc(8);
  void *third = malloc(8);
  [[maybe_unused]] void *guard = malloc(8);  // stays in use: keeps the rest apart
  puts("\n---- ALLOCATE ----");
  print_list();

  free(first);
  free(third);
  free(second);
  puts("\n---- FREE AND COALESCE BOTH SIDES ----");
  print_list();
  exit(0);
}
