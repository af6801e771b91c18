// MyMalloc: a thread-safe boundary-tag allocator that takes the place of libc's.
// Programs, in C or C++, include this header and compile MyMalloc.cc in; see MyMallocLayout.h
// for the heap.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
#define MYMALLOC_NOEXCEPT noexcept
extern "C" {
#else
#define MYMALLOC_NOEXCEPT
#endif

// libc's contract, with these differences: a request of 0 bytes gets null
// (errno untouched), and realloc always moves the block. noexcept as libc
// declares them, so that this header and <stdlib.h> agree in either order.
void *malloc(size_t size) MYMALLOC_NOEXCEPT;
void free(void *ptr) MYMALLOC_NOEXCEPT;
void *realloc(void *ptr, size_t size) MYMALLOC_NOEXCEPT;
void *calloc(size_t count, size_t size) MYMALLOC_NOEXCEPT;

// The rest of libc's allocation interface, on the same heap, to the man
// pages: an alignment that is no power of two (for posix_memalign, also one
// that is no multiple of sizeof(void *)) gets EINVAL, which posix_memalign
// returns without touching errno; a size beyond the limit gets null and
// ENOMEM; a size of 0 gets null as malloc(0) does. Every call of the five
// that allocate counts as a malloc in the statistics. The block is placed as
// high as it goes in the block it is carved from; the slack below and above
// it goes back to the free list (above, only if it can be a block of its own;
// otherwise it is part of the block). free and realloc take these blocks.
void *aligned_alloc(size_t alignment, size_t size) MYMALLOC_NOEXCEPT;
void *memalign(size_t alignment, size_t size) MYMALLOC_NOEXCEPT;
int posix_memalign(void **memptr, size_t alignment, size_t size) MYMALLOC_NOEXCEPT;
void *valloc(size_t size) MYMALLOC_NOEXCEPT;   // aligned to the page size
void *pvalloc(size_t size) MYMALLOC_NOEXCEPT;  // the same, the size rounded up to whole pages
// The bytes the block holds, at least what was asked for; 0 for null.
size_t malloc_usable_size(void *ptr) MYMALLOC_NOEXCEPT;

// Prints the free list, head first, as "FreeList: [offset:O,size:S]->...".
// Takes no lock: call it only while no other thread allocates or frees.
void print_list(void);
// Prints the heap size and the four call counters.
void print(void);
// Exit hook registered by the first allocation: calls print(). With
// MYMALLOC_CHECK set (N, or every:N) it also walks the heap (heap_walk); the
// first broken invariant is written to standard error and the process aborts.
void atExitHandlerInC(void);

// A read-only walk of the whole heap, for checkers and pictures of it.
typedef enum HeapBlockState { kHeapBlockUsed, kHeapBlockFree, kHeapBlockFence } HeapBlockState;
typedef struct HeapBlockInfo {
  long offset;      // of the header from the first chunk, as print_list counts
  size_t size;      // header included; a fencepost's 16 bytes for a fencepost
  size_t leftSize;  // the header's _leftSize word as it stands
  HeapBlockState state;
  int chunk;  // 0 for the first chunk, in address order of the walk
} HeapBlockInfo;
// Any member may be null. The members may not throw: the walk runs inside
// malloc for MYMALLOC_CHECK, and the allocator needs no C++ runtime.
typedef struct HeapVisitor {
  // Every block and fencepost, chunk by chunk, from each left fencepost to its right one.
  void (*block)(void *context, const HeapBlockInfo *block) MYMALLOC_NOEXCEPT;
  // Then the free list, head first.
  void (*freeEntry)(void *context, long offset, size_t size) MYMALLOC_NOEXCEPT;
  // The first broken invariant found; the walk stops there.
  void (*broken)(void *context, const char *what, long offset) MYMALLOC_NOEXCEPT;
  // Blocks freed by another thread and returned to their heap, not merged yet
  // (the preload library's arenas); to the walk of the chunks they are in use.
  void (*returned)(void *context, long offset, size_t size) MYMALLOC_NOEXCEPT;
} HeapVisitor;
// Visits every heap (the preload library has one per arena), one after
// another, as above. Returns 0 if every invariant holds (blocks tile
// each chunk, every _leftSize matches, no two free neighbours, the free list
// is linked both ways and holds every free block once), else -1 after
// calling broken. Allocates nothing and takes no lock: call it with mutex
// held or while no other thread allocates. An unset heap has no blocks.
int heap_walk(const HeapVisitor *visitor, void *context) MYMALLOC_NOEXCEPT;

// What the first-fit search has cost so far. A search that the head of the
// free list serves reads one block and is not counted here; the others are,
// in a build with MYMALLOC_SEARCH_STATS defined (the benchmark's): elsewhere
// the counts stay 0, so that counting costs the searches nothing.
typedef struct HeapSearchStats {
  unsigned long long slowSearches;   // searches the head did not serve
  unsigned long long blocksVisited;  // blocks they read, the head included; +1 when the heap grew
  unsigned long long indexSteps;     // size-index nodes they stepped through
  size_t indexBytes;                 // memory the size index holds beside the heap
} HeapSearchStats;
// Fills in *stats. Takes no lock, like the reports.
void heap_search_stats(HeapSearchStats *stats) MYMALLOC_NOEXCEPT;

#ifdef __cplusplus
}  // extern "C"
#endif
