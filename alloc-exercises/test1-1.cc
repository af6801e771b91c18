// test1-1: the first list sets the heap up; the first malloc splits its free block.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int main() {
  puts("\n---- Running test1-1 ---");
  puts("Before any allocation");
  print_list();

  int *mem1 = static_cast<int *>(malloc(8));
  *mem1 = 10;
  puts("mem1 = malloc(8)");
  print_list();
  exit(0);
}
