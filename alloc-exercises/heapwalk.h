// heaprun's reading of the heap: every header word of every chunk and the free list as the
// allocator would follow it, read without trusting any of them, so that a heap a fault has
// damaged is drawn as it stands. Fixed tables only: nothing here allocates.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "heapscript.h"

namespace heaprun {

enum class State : unsigned char { Used, Free, Fence, Broken };

// One block, fencepost, or header that cannot be a block's (Broken), as its words read.
struct Block {
  long offset;          // of the header from the first chunk
  uint64_t size;        // header included; for Broken the _blockSize word as it stands
  uint64_t left;        // the _leftSize word
  uint64_t next, prev;  // Free: the link words (pointers) as they stand
  long span;            // the bytes it takes in its chunk: its size, unless Broken
  State state;
  int name;     // Used: the first name that holds it, or kNoName
  int holders;  // Used: how many names hold it
};

// A block per call and a chunk's three for each call, and the first chunk.
constexpr int kMaxBlocks = 5 * kMaxCalls + 8;

// How the walk along _nextFree ended.
enum class ListEnd : unsigned char { Sentinel, Cycle, Outside, Bound };

struct Walk {
  Block blocks[kMaxBlocks];  // in address order
  int place[kMaxBlocks];     // of each block in the list, 1 for the head; 0 if not on it
  int count;
  uint64_t list[kMaxBlocks];  // the pointers the walk from the sentinel met, head first
  int listCount;
  ListEnd end;
  size_t heap;   // bytes of chunks walked
  bool damaged;  // a Broken header, or a list that does not end at the sentinel
};

// Reads the whole heap into w. before is the last walk (its sizes place what follows a broken
// header), or null.
void walkHeap(Walk *w, const Walk *before);

// The block of w at offset, or null.
const Block *blockAt(const Walk &w, long offset);
// The offset of a pointer into the heap, or -1 for the list's sentinel; false if it points
// elsewhere.
bool offsetOf(uint64_t pointer, long *offset);
// Whether the n bytes at offset lie within the chunks.
bool inHeap(long offset, size_t n);

// The script being run, and which names hold the block at a payload: how many, and the first
// (heaprun.cc).
extern Script script;
int holdersOf(const void *payload, int *first);
// Whether name holds the block whose header is at offset.
bool holdsAt(int name, long offset);
// What the allocator wrote on standard error since the last call of takeMessage.
extern char message[4096];
extern size_t messageLength;
void takeMessage();

// Runs the calls from index `from` on in a child process (heapfault.cc): returns in the child;
// the parent passes the child's steps on and ends the process.
void runRestInChild(int from);

}  // namespace heaprun

// ---- heaprun's output (heapout.cc): the data the explorer's page draws from ----
namespace heaprun {

// The first line: the layout's constants and the script's names.
void putHeader();
// A step: the call, what it returned and set errno to, and what the two walks show it did.
// old is the block realloc or free was given (null for none); message is what the allocator
// wrote on standard error during the call.
void putStep(const ScriptCall &c, const void *result, int error, const void *old,
             const Walk &before, const Walk &after, const char *message, size_t messageLength);
// The line that ends a run cut short at a script line: why (a word), a number that says more,
// and what the allocator wrote during the call.
void putStop(long line, const char *why, long detail, const char *message, size_t messageLength);
// Writes the buffered output to standard output.
void flushOut();
// A kept heap, for a reader that starts in the middle: {"keep":STEP,"blocks":[...]}, every
// block of w as a step lists them (heaprun --keep).
void putKept(int step, const Walk &w);

}  // namespace heaprun
