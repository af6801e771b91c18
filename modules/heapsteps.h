// heaprun's output read back: one step per JSON line, heaprun's error line, and what the
// allocator itself wrote between the steps. Texts point into the output, which must outlive it.
#pragma once

#include <stddef.h>

namespace heapview {

enum class BlockState : unsigned char { Used, Free, Fence };

struct Text {
  const char *start;  // null for none (a JSON null)
  size_t length;
};

struct StepBlock {
  long offset;
  size_t size;
  BlockState state;
  Text name;
};

struct FreeEntry {
  long offset;
  size_t size;
};

struct Step {
  long number;
  Text call;
  bool hasResult;  // false: the call returned null, or nothing (free)
  long result;     // the payload's offset
  int error;       // errno after the call
  size_t firstBlock, blockCount;
  size_t firstFree, freeCount;
  size_t heap;   // bytes taken from the system
  Text message;  // lines the allocator wrote during the call, or none
};

struct HeapRun {
  Step *steps;
  size_t stepCount;
  StepBlock *blocks;  // every step's blocks, one step after another
  size_t blockCount;
  FreeEntry *frees;  // every step's free lists likewise
  size_t freeCount;
  Text error;          // heaprun's error line, without its line feed
  bool unreadable;     // a line was neither a step nor text: reading stopped there
  size_t capacity[3];  // of steps, blocks and frees
};

// Reads heaprun's whole output (length bytes; an unfinished last line is ignored) into run,
// which starts zeroed. Returns false if memory ran out.
bool readHeapRun(const char *output, size_t length, HeapRun *run);
void freeHeapRun(HeapRun *run);

}  // namespace heapview
