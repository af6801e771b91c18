// test3: a zero-size request and a request far beyond the limit are both refused.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "MyMalloc.h"

int main() {
  puts("\n---- Running test3 ---");

  void *zero = malloc(0);
  if (zero == nullptr) {
    puts("\n---- MALLOC(0) TEST PASSED ---");
  } else {
    puts("\n---- MALLOC(0) TEST FAILED ---");
  }

  void *huge = malloc(150000000);
  int error = errno;  // before anything printed can change it
  if (huge == nullptr && error == ENOMEM) {
    puts("\n---- MALLOC TOO LARGE TEST PASSED ---");
  } else {
    puts("\n---- MALLOC TOO LARGE TEST FAILED ---");
  }
  exit(0);
}
