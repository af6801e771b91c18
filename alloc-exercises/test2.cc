// test2: requests too large for any remainder; each one after the first takes a new chunk.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int allocations = 5;

int main() {
  puts("\n---- Running test2 ---");
  for (int i = 0; i < allocations; i++) {
    char *p = static_cast<char *>(malloc(1500000));
    *p = 'd';
    print_list();
  }
  exit(0);
}
