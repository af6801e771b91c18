// test1-1: the first list sets the heap up; the first malloc splits its free block.
#include <stdlib.h>

#include "test1-stages.h"

int main() {
  allocateStages("\n---- Running test1-1 ---", 1);
  exit(0);
}
