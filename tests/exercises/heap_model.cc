// The allocator model: one std::map of blocks per offset, one std::list for
// the free list's order. Written from the algorithm, not from the allocator.
#include "heap_model.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <iterator>

namespace exercises {
namespace {

constexpr long kChunk = 2097152;
constexpr long kFence = 16;
constexpr size_t kFresh = kChunk - 2 * kFence;  // 2097120
constexpr size_t kHeader = 16;
constexpr size_t kMinBlock = 32;
constexpr size_t kLargestBlock = 2097104;

// Block size for a request; nullopt if beyond the limit (or if it overflows).
std::optional<size_t> checkedBlockSize(size_t length) {
  if (length > SIZE_MAX - 23) return std::nullopt;
  size_t size = std::max((length + kHeader + 7) & ~size_t{7}, kMinBlock);
  if (size > kLargestBlock) return std::nullopt;
  return size;
}

}  // namespace

size_t blockSizeFor(size_t length) { return checkedBlockSize(length).value_or(0); }

size_t stdioBufferFor(long blockSize) {
  if (blockSize > 0 && blockSize < BUFSIZ) return static_cast<size_t>(blockSize);
  return BUFSIZ;
}

size_t HeapModel::heapSize() const { return static_cast<size_t>(chunks_ * kChunk); }

void HeapModel::initialize() { addChunk(); }

void HeapModel::addChunk() {
  long first = chunks_ * kChunk + kFence;  // chunks follow each other in memory
  chunks_++;
  blocks_[first] = Block{kFresh, false};
  freeList_.push_front(first);
}

Pointer HeapModel::tryAllocate(size_t blockSize) {
  for (auto it = freeList_.begin(); it != freeList_.end(); ++it) {
    long offset = *it;
    Block &b = blocks_.at(offset);
    if (b.size < blockSize) continue;
    size_t remainder = b.size - blockSize;
    if (remainder < kMinBlock) {  // handed out whole
      freeList_.erase(it);
      b.allocated = true;
      return offset + static_cast<long>(kHeader);
    }
    b.size = remainder;  // keeps its place in the list
    long carved = offset + static_cast<long>(remainder);
    blocks_[carved] = Block{blockSize, true};
    return carved + static_cast<long>(kHeader);
  }
  return std::nullopt;
}

Pointer HeapModel::malloc(size_t length) {
  mallocCalls_++;
  if (!initialized()) initialize();
  if (length == 0) return std::nullopt;
  std::optional<size_t> size = checkedBlockSize(length);
  if (!size) {
    errno_ = ENOMEM;
    return std::nullopt;
  }
  if (Pointer p = tryAllocate(*size)) return p;
  addChunk();
  return tryAllocate(*size);
}

void HeapModel::free(Pointer payload) {
  freeCalls_++;
  if (!payload) return;
  auto self = blocks_.find(*payload - static_cast<long>(kHeader));
  self->second.allocated = false;

  // Neighbours in the same chunk: adjacent in the map and touching.
  auto left = blocks_.end();
  if (self != blocks_.begin()) {
    auto below = std::prev(self);
    if (below->first + static_cast<long>(below->second.size) == self->first &&
        !below->second.allocated)
      left = below;
  }
  auto right = blocks_.end();
  auto above = std::next(self);
  if (above != blocks_.end() &&
      self->first + static_cast<long>(self->second.size) == above->first &&
      !above->second.allocated)
    right = above;

  auto position = [this](long offset) {
    return std::find(freeList_.begin(), freeList_.end(), offset);
  };
  if (left == blocks_.end() && right == blocks_.end()) {
    freeList_.push_front(self->first);
    return;
  }
  auto merged = self;
  if (left != blocks_.end()) {  // the left block grows and keeps its place
    left->second.size += self->second.size;
    blocks_.erase(self);
    merged = left;
  }
  if (right != blocks_.end()) {  // the merged block takes the right one's place
    if (left != blocks_.end()) freeList_.erase(position(left->first));
    *position(right->first) = merged->first;
    merged->second.size += right->second.size;
    blocks_.erase(right);
  }
}

FreeList HeapModel::list() {
  if (!initialized()) initialize();
  FreeList entries;
  for (long offset : freeList_) entries.push_back(FreeEntry{offset, blocks_.at(offset).size});
  return entries;
}

std::string listText(const FreeList &list) {
  std::string text = "FreeList: ";
  for (size_t i = 0; i < list.size(); i++) {
    if (i > 0) text += "->";
    text +=
        "[offset:" + std::to_string(list[i].offset) + ",size:" + std::to_string(list[i].size) + "]";
  }
  return text + "\n";
}

std::string reportText(size_t heapSize, int mallocs, int reallocs, int callocs, int frees) {
  const std::string rule = "\n-------------------\n";
  return rule + "HeapSize:\t" + std::to_string(heapSize) + " bytes\n" + "# mallocs:\t" +
         std::to_string(mallocs) + "\n" + "# reallocs:\t" + std::to_string(reallocs) + "\n" +
         "# callocs:\t" + std::to_string(callocs) + "\n" + "# frees:\t" + std::to_string(frees) +
         "\n" + rule;
}

std::string reportText(const HeapModel &heap) {
  return reportText(heap.heapSize(), heap.mallocCalls(), 0, 0, heap.freeCalls());
}

void ProgramRun::beforeBufferedOutput() {
  if (buffered_) return;
  buffered_ = true;
  if (stdioBuffer_ > 0) heap_.malloc(stdioBuffer_);
}

void ProgramRun::puts(const std::string &text) {
  beforeBufferedOutput();
  output_ += text + "\n";
}

void ProgramRun::write(const std::string &text) { output_ += text; }

void ProgramRun::printList() {
  beforeBufferedOutput();  // "FreeList: " is printed before the set-up
  lists_.push_back(heap_.list());
  output_ += listText(lists_.back());
}

std::string ProgramRun::exit() {
  if (heap_.initialized()) {
    beforeBufferedOutput();
    output_ += reportText(heap_);
  }
  return output_;
}

}  // namespace exercises
