// test5: a freed block merges with its free higher-address (right) neighbour.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int main() {
  puts("\n---- Running test5 ----");
  void *first = malloc(8);                   // directly below the right fencepost
  void *second = malloc(8);                  // directly below the first
  [[maybe_unused]] void *guard = malloc(8);  // stays in use: keeps the rest apart
  puts("\n---- ALLOCATE ----");
  print_list();

  free(first);
  free(second);
  puts("\n---- FREE AND COALESCE RIGHT ----");
  print_list();
  exit(0);
}
