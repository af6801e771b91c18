// test1-4: a freed block merges with its free lower-address (left) neighbour.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int main() {
  puts("\n---- Running test1 ---");
  puts("Before any allocation");
  print_list();

  int *mem1 = static_cast<int *>(malloc(8));
  *mem1 = 10;
  puts("mem1 = malloc(8)");
  print_list();

  int *mem2 = static_cast<int *>(malloc(8));
  *mem2 = 11;
  puts("mem2 = malloc(8)");
  print_list();

  int *mem3 = static_cast<int *>(malloc(8));
  *mem3 = 12;
  puts("mem3 = malloc(8)");
  print_list();

  free(mem2);
  puts("free(mem2))");
  print_list();

  free(mem1);
  puts("free(mem1))");
  print_list();
  exit(0);
}
