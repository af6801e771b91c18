// test1-4: a freed block merges with its free lower-address (left) neighbour.
#include <stdlib.h>

#include "test1-stages.h"

int main() {
  Test1Blocks m = allocateStages("\n---- Running test1 ---", 3);
  freeStage(m.mem2, "free(mem2))");
  freeStage(m.mem1, "free(mem1))");
  exit(0);
}
