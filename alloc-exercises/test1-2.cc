// test1-2: successive requests are carved from the same free block, top down.
#include <stdlib.h>

#include "test1-stages.h"

int main() {
  allocateStages("\n---- Running test1-2 ---", 3);
  exit(0);
}
