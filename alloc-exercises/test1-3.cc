// test1-3: a block freed between two blocks in use joins the free list by itself.
#include <stdlib.h>

#include "test1-stages.h"

int main() {
  Test1Blocks m = allocateStages("\n---- Running test1 ---", 3);
  freeStage(m.mem2, "free(mem2))");
  exit(0);
}
