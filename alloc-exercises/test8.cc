// test8: a request just beyond the limit is refused with no new chunk; freeing
// the null result is harmless.
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int main() {
  puts("\n---- Running test8 ---");
  print_list();

  // 2097104 is the largest block size; with the header this rounds to 2097120.
  void *p = malloc(2097104);
  print_list();

  free(p);
  print_list();
  exit(0);
}
