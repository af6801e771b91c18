// The heap's layout: the words it is described in, the block header, the chunk
// constants and the allocator's globals. Shared by the allocator and by the
// tests and programs that walk its heap.
//
// The words:
//   chunk        2 MiB of memory taken from the system in one piece (sbrk for the
//                first heap, mmap for the others), fenced at both ends.
//   fencepost    a 16-byte header at each end of a chunk, marked allocated with
//                size 0, so that no block ever merges across the chunk's edge.
//   block        a piece of a chunk: a header, then the payload. Blocks tile a
//                chunk from its left fencepost to its right one.
//   boundary tag a block's size (with the allocated flag in bit 0) in its own
//                header, and again as the _leftSize of the block after it, so
//                that both neighbours of a block are found without a search.
//   payload      the bytes after a block's 16-byte header: what the caller gets.
//   free list    the circular doubly linked list of a heap's free blocks,
//                anchored by its sentinel.
//   sentinel     a full header outside the heap, never handed out, whose links
//                are the list's head and tail; its size words stay 0.
//   heap         one free list with its chunks, its size index and its lock.
//                The compiled-in build has one; the preload library one per arena.
//   arena        a heap that a set of threads allocates from; the first arena is
//                the heap of the globals below (_freeListSentinel, mutex, ...).
//   class        a size class of the preload library's per-thread cache: block
//                sizes 32, 48, ... 2064 bytes, each with a list of its own.
//   mapped block a large block of the preload library in a mapping of its own,
//                outside every chunk; bit 1 of its size word says so.
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

constexpr size_t kChunkSize = 2097152;  // one request to the system, 2 MiB
constexpr size_t kHeaderSize = 16;      // what an allocated block carries
constexpr size_t kFencepostSize = 16;   // at each end of a chunk
// Every block size and every payload address is a multiple of this. The
// preload library (MYMALLOC_PRELOAD) keeps payloads aligned for any type, as
// libc's malloc does, and maps large blocks; the compiled-in build's exact
// offsets rely on 8, and it maps nothing.
// The preload library also has several heaps (arenas), whose threads read the
// shared settings under different locks.
#ifdef MYMALLOC_PRELOAD
constexpr size_t kAlignment = 16;
constexpr bool kMapsLargeBlocks = true;
constexpr bool kManyHeaps = true;
#else
constexpr size_t kAlignment = 8;
constexpr bool kMapsLargeBlocks = false;
constexpr bool kManyHeaps = false;
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

// A mapped block: the header lies `offset` bytes into its mapping (0 unless the
// payload needed a larger alignment) and _leftSize holds that offset;
// _blockSize holds the bytes from the header to the mapping's end with both
// flags set. A heap block's size is a multiple of kAlignment, so bit 1 is clear
// in every heap block and fencepost.
constexpr size_t kMappedBit = 2;
static_assert(kAlignment % 4 == 0 || !kMapsLargeBlocks);

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

template <typename Header>
inline bool isMapped(const Header *h) {
  return (h->_blockSize & kMappedBit) != 0;
}
template <typename Header>
inline size_t mappedSize(const Header *h) {
  return h->_blockSize & ~(kMappedBit | kAllocatedBit);
}

}  // namespace mymalloc

extern "C" {
extern BlockHeader *_freeList;         // &_freeListSentinel once set up
extern BlockHeader _freeListSentinel;  // anchor of the first heap's circular free list
extern size_t _heapSize;               // bytes the first heap obtained from the system
extern int _initialized;
extern void *_memStart;  // first chunk; origin of reported offsets
extern int _mallocCalls;
extern int _reallocCalls;
extern int _callocCalls;
extern int _freeCalls;
extern pthread_mutex_t mutex;  // guards the first heap: all of the above and its blocks

void increaseMallocCalls();
void increaseReallocCalls();
void increaseCallocCalls();
void increaseFreeCalls();
}
