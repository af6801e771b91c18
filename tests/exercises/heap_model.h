// A model of the allocator's algorithm, independent of its code: first fit
// over the free list, high-end splits, the four merge cases, growth by chunks.
// It predicts, byte for byte, the lists and the report an exercise program prints.
#pragma once

#include <stddef.h>

#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace exercises {

// A payload, as its offset from the start of the first chunk; nullopt is null.
using Pointer = std::optional<long>;

// One entry of the free list: the block's header offset and its size.
struct FreeEntry {
  long offset;
  size_t size;
  bool operator==(const FreeEntry &) const = default;
};
using FreeList = std::vector<FreeEntry>;

class HeapModel {
 public:
  Pointer malloc(size_t length);
  void free(Pointer payload);
  // The free list head first; sets the heap up first, as print_list does.
  FreeList list();

  bool initialized() const { return chunks_ > 0; }
  int errorNumber() const { return errno_; }  // ENOMEM after a refused request
  size_t heapSize() const;
  int mallocCalls() const { return mallocCalls_; }
  int freeCalls() const { return freeCalls_; }

 private:
  struct Block {
    size_t size;
    bool allocated;
  };

  void initialize();
  void addChunk();  // its block goes to the head of the list
  Pointer tryAllocate(size_t blockSize);

  std::map<long, Block> blocks_;  // every block of every chunk, by header offset
  std::list<long> freeList_;      // header offsets, head first
  long chunks_ = 0;
  int errno_ = 0;
  int mallocCalls_ = 0;
  int freeCalls_ = 0;
};

// What print_list prints for a list.
std::string listText(const FreeList &list);
// What the exit report prints.
std::string reportText(size_t heapSize, int mallocs, int reallocs, int callocs, int frees);
// The report of a model heap (it makes no realloc or calloc calls).
std::string reportText(const HeapModel &heap);
// The block size the allocator gives a request of `length` bytes (within its limit).
size_t blockSizeFor(size_t length);

// The buffer glibc's stdio mallocs for a stream on a descriptor whose st_blksize is blockSize:
// that size, at most BUFSIZ.
size_t stdioBufferFor(long blockSize);

// One run of an exercise program against the model. Its standard output is
// fully buffered (a file or a pipe): the first buffered write mallocs the
// stream's buffer, stdioBuffer bytes (0: as if nothing but the program allocated).
class ProgramRun {
 public:
  explicit ProgramRun(size_t stdioBuffer) : stdioBuffer_(stdioBuffer) {}

  void puts(const std::string &text);   // the text and a newline, through stdio
  void write(const std::string &text);  // write(2): unbuffered, allocates nothing
  void printList();
  Pointer malloc(size_t length) { return heap_.malloc(length); }
  void free(Pointer payload) { heap_.free(payload); }
  int errorNumber() const { return heap_.errorNumber(); }

  // Ends the run like exit(0): the report follows if the heap was set up.
  // Returns the whole output.
  std::string exit();
  const std::vector<FreeList> &lists() const { return lists_; }
  const HeapModel &heap() const { return heap_; }

 private:
  void beforeBufferedOutput();

  HeapModel heap_;
  size_t stdioBuffer_;
  bool buffered_ = false;
  std::string output_;
  std::vector<FreeList> lists_;
};

}  // namespace exercises
