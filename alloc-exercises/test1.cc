// test1: splits one free block again and again until it is used up exactly.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int allocations = 65535;  // 65535 blocks of 32 bytes fill a fresh chunk's block

int main() {
  puts("\n---- Running test1 ---");
  for (int i = 0; i < allocations; i++) {
    char *p = static_cast<char *>(malloc(15));
    *p = 'd';
  }
  print_list();
  exit(0);
}
