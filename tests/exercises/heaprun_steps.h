// heaprun's JSON lines read back for the tests: a small JSON reader, and the steps applied one
// after another so that every step's whole heap is at hand.
#pragma once

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

namespace heapsteps {

// A JSON value. Whole numbers only (heaprun writes no others); a number a double could not
// hold comes as a string.
struct Value {
  enum Kind { Null, Number, String, Array, Object } kind = Null;
  long long number = 0;
  std::string text;
  std::vector<Value> items;        // an array's items, or an object's values
  std::vector<std::string> keys;  // an object's field names, one per value
  // (not a vector of pairs: a pair of an incomplete type is refused by clang's checks)
  const Value &operator[](size_t i) const;             // an item, or null past the end
  const Value &operator[](const std::string &k) const;  // a field, or null
  bool isNull() const { return kind == Null; }
};

// Parses one line; false if it is not one whole JSON value.
bool parse(const std::string &text, Value *out);

enum class BlockState { Used, Free, Fence, Broken };
constexpr long kNoLink = -1;  // the list's sentinel

struct StepBlock {
  long offset;
  size_t size;  // for Broken the span it takes
  size_t left;
  BlockState state;
  long next = kNoLink, prev = kNoLink;
  std::string name;  // of a used block: the names that hold it, joined by ','
};

struct Step {
  Value line;  // the whole step
  int kind;    // the call: 0 malloc, 1 calloc, 2 realloc, 3 free, 4 free!, 5 overflow, 6 write
  std::string call;  // in the script's spelling
  bool hasResult;
  long result;
  int error;
  long head;
  size_t heap;
  const Value &facts() const { return line[7]; }
  std::string message;
  std::vector<StepBlock> blocks;  // the whole heap after the step, in address order
};

struct Run {
  bool ok = true;        // every line read and every step fits the heap before it
  std::string problem;   // why not
  Value header;
  std::vector<Step> steps;
  Value stop;  // the stop line's "stop" object, or null
  // The free list after step (or before the first, for -1), head first, along _nextFree.
  std::vector<std::pair<long, size_t>> freeList(long step) const;
  const StepBlock *blockAt(size_t step, long offset) const;
  // The blocks of a step's or a kept heap's flat list, in its order.
  std::vector<StepBlock> blocksOf(const Value &blocks) const;
};

Run read(const std::string &output);

}  // namespace heapsteps
