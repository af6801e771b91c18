// The heap's layout: block header, chunk constants and the allocator's globals.
// Shared by the allocator and by the tests that walk its heap.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <type_traits>

// The boundary tag at the start of every block. An allocated block uses only
// the first two words; the links overlay the payload while the block is free.
struct BlockHeader {
  size_t _blockSize;       // total size, header included; bit 0 set = allocated
  size_t _leftSize;        // size of the block just below, 0 for a chunk's first block
  BlockHeader *_nextFree;  // free-list links, valid only while the block is free
  BlockHeader *_prevFree;
};

namespace mymalloc {

constexpr size_t kChunkSize = 2097152;  // one sbrk call, 2 MiB
constexpr size_t kHeaderSize = 16;      // what an allocated block carries
constexpr size_t kFencepostSize = 16;   // at each end of a chunk
// Every block size and every payload address is a multiple of this. The
// preload library (MYMALLOC_PRELOAD) keeps payloads aligned for any type, as
// libc's malloc does; the compiled-in build's exact offsets rely on 8.
#ifdef MYMALLOC_PRELOAD
constexpr size_t kAlignment = 16;
#else
constexpr size_t kAlignment = 8;
#endif
constexpr size_t kMinBlockSize = 32;  // header plus the two free-list links
constexpr size_t kAllocatedBit = 1;   // bit 0 of _blockSize
constexpr size_t kFreshBlockSize = kChunkSize - 2 * kFencepostSize;
constexpr size_t kLargestBlock = kChunkSize - 48;  // largest rounded request accepted
constexpr size_t kLargestRequest = kLargestBlock - kHeaderSize;

static_assert(offsetof(BlockHeader, _blockSize) == 0);
static_assert(offsetof(BlockHeader, _leftSize) == 8);
static_assert(offsetof(BlockHeader, _nextFree) == 16);
static_assert(offsetof(BlockHeader, _prevFree) == 24);
static_assert(sizeof(BlockHeader) == kMinBlockSize);
static_assert(offsetof(BlockHeader, _nextFree) == kHeaderSize,
              "the links must start where the payload does");
static_assert(kFreshBlockSize == 0x1FFFE0);
static_assert(kLargestBlock == 0x1FFFD0 && kLargestBlock + 16 == kFreshBlockSize);
static_assert(kLargestRequest == 2097088);
static_assert(kChunkSize % kAlignment == 0 && kMinBlockSize % kAlignment == 0);
static_assert(kHeaderSize % kAlignment == 0 && kFencepostSize % kAlignment == 0 &&
              kLargestBlock % kAlignment == 0);

// Heap navigation. Templates, so that a file's own non-template function of the same name is
// chosen over these.

// A block's size, header included, without the allocated bit.
template <typename Header>
inline size_t sizeOf(const Header *b) {
  return b->_blockSize & ~kAllocatedBit;
}

// The header of the block whose payload starts at payload (const if payload is). The address
// passes through an empty asm, so that the compiler cannot see that the step back leaves the
// object the payload pointer came from.
template <typename Byte>
inline auto headerOf(Byte *payload) {
  using Header = std::conditional_t<std::is_const_v<Byte>, const BlockHeader, BlockHeader>;
  auto p = reinterpret_cast<uintptr_t>(payload);
  asm("" : "+r"(p));
  return reinterpret_cast<Header *>(p - kHeaderSize);
}

}  // namespace mymalloc

extern "C" {
extern BlockHeader *_freeList;         // &_freeListSentinel once set up
extern BlockHeader _freeListSentinel;  // anchor of the circular free list
extern size_t _heapSize;               // bytes obtained from the system
extern int _initialized;
extern void *_memStart;  // first chunk; origin of reported offsets
extern int _mallocCalls;
extern int _reallocCalls;
extern int _callocCalls;
extern int _freeCalls;
extern pthread_mutex_t mutex;  // guards all of the above and every block

void increaseMallocCalls();
void increaseReallocCalls();
void increaseCallocCalls();
void increaseFreeCalls();
}
