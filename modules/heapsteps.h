// heaprun's output read back: one step per JSON line (the blocks that changed, the heap's
// figures, what the call did), heaprun's error line, and what the allocator itself wrote between
// the steps. Texts point into the output, which must outlive them.
#pragma once

#include <stddef.h>

namespace heapview {

enum class BlockState : unsigned char { Used, Free, Fence };

constexpr long kNoLink = -1;  // a link to the free list's sentinel, or no value

struct Text {
  const char *start;  // null for none (a JSON null)
  size_t length;
};

// A block as its header words show it.
struct StepBlock {
  long offset;
  size_t size;
  size_t left;      // _leftSize
  BlockState state;
  long next, prev;  // _nextFree and _prevFree as offsets, kNoLink for the sentinel
  Text name;        // the name that holds a used block, or none
};

// The heap after a step, as heaprun's walk counted it.
struct Figures {
  size_t usedBlocks, usedBytes, payload, freeBlocks, freeBytes, largestFree;
};

// What the call did; offsets are kNoLink where the call has none.
struct Facts {
  long length;  // the bytes asked for; kNoLink for free, or a calloc whose product overflows
  long block;   // the block handed out
  long fit;     // its place in the free list before the call (1 + the blocks passed over)
  long fitOffset, fitSize;
  size_t remainder;  // bytes left in place of the block first fit took
  bool grew;
  long freed;  // the block freed
  long into;   // the free block it is part of after the call
  bool left, right;
  size_t copied;
  Text refused;  // "zero", "limit" or "memory", or none
};

struct Step {
  long number;
  Text call;
  bool hasResult;  // false: the call returned null, or nothing (free)
  long result;     // the payload's offset
  int error;       // errno after the call
  size_t firstChanged, changedCount;  // into HeapRun::changed
  size_t firstGone, goneCount;        // into HeapRun::gone
  long head;                          // of the free list, or kNoLink when it is empty
  size_t heap;                        // bytes taken from the system
  Figures figures;
  Facts what;
  Text say;      // the facts in words
  Text message;  // lines the allocator wrote during the call, or none
};

struct HeapRun {
  Step *steps;
  size_t stepCount;
  StepBlock *changed;  // every step's new or changed blocks, one step after another
  size_t changedCount;
  long *gone;  // the offsets of the blocks each step removed, likewise
  size_t goneCount;
  Text error;          // heaprun's error line, without its line feed
  bool unreadable;     // a line was neither a step nor text: reading stopped there
  size_t capacity[3];  // of steps, changed and gone
};

// Reads heaprun's whole output (length bytes; an unfinished last line is ignored) into run,
// which starts zeroed. Returns false if memory ran out.
bool readHeapRun(const char *output, size_t length, HeapRun *run);
void freeHeapRun(HeapRun *run);

// The whole heap at one step, built by applying the steps in order from a zeroed state.
struct HeapState {
  StepBlock *blocks;  // in address order
  size_t count, capacity;
  long head;
  size_t heap;
};

// Applies step (of run) to state; false if memory ran out or the step does not fit the state
// (a block it removes is not there).
bool applyStep(HeapState *state, const HeapRun &run, const Step &step);
// The block of state at offset, or null.
const StepBlock *blockAt(const HeapState &state, long offset);
void freeHeapState(HeapState *state);

}  // namespace heapview
