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
  uint32_t stamp;  // Free, in heapdelta's blocks: its place, by numbers that fall along the list
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
  int listSkipped;  // entries before list[0] not read (heapdelta's: up to the one first fit took)
  ListEnd end;
  size_t heap;   // bytes of chunks walked
  bool damaged;  // a Broken header, or a list that does not end at the sentinel
};

// Reads the whole heap into w. before is the last walk (its sizes place what follows a broken
// header), or null.
void walkHeap(Walk *w, const Walk *before);

// The bytes of whole chunks the heap holds now.
size_t heapSpan();
// The first chunk's address: offsets count from it.
const void *heapBase();
// The word at offset, which must lie in the heap.
uint64_t heapWord(long offset);
// The block or fencepost whose header is at offset, read as walkHeap reads it (Broken if its
// size cannot be a block's there).
Block readBlock(long offset);
// Adds the blocks of the chunks from byte `from` of the heap on to w (after heapSpan).
void walkChunks(Walk *w, size_t from);
// Whether two readings of a block are the same.
bool sameBlock(const Block &a, const Block &b);

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

// A sound heap read only where each call changed it (heapdelta.cc), beside the blocks as the
// last step left them, kept by offset. deltaStep reads a call's step: the blocks around its
// result and its argument, their free-list neighbours and the blocks whose names changed, as
// they were (into before) and as they are (into after), each in address order; before's
// listCount is the number of free blocks, or, with its list, the list up to the block first fit
// took. headBefore and heapBefore are the list's head and the heap's bytes before the call.
// False if the heap does not read as the allocator leaves it: the blocks kept are as before.
bool deltaStep(const ScriptCall &c, const void *result, const void *old, uint64_t headBefore,
               size_t heapBefore, Walk *before, Walk *after);
// Keeps the step deltaStep read.
void deltaCommit(const Walk &before, const Walk &after);
// Marks the block at payload as one whose names changed during the call.
void deltaNamed(const void *payload);
// Fills w with the blocks kept and the list from head, as a whole walk would.
void deltaDump(Walk *w, uint64_t head);
// Checks the blocks kept against the whole heap, walked into scratch: if they differ, ends the
// process with status 3 and an error line for the script's line.
void deltaCheck(Walk *scratch, long line);

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
// The bytes of output so far.
uint64_t outBytes();
// A kept heap, for a reader that starts in the middle: {"keep":STEP,"blocks":[...]}, every
// block of w as a step lists them (heaprun --keep).
void putKept(int step, const Walk &w);

}  // namespace heaprun
