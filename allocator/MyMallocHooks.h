// The hooks through which MyMalloc.cc reaches the parts beside it. Internal:
// only MyMalloc.cc includes this, and it includes the parts' definitions at its end.
// All are noexcept: the allocator needs no C++ runtime, even unoptimised.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "MyMallocLayout.h"

namespace {

// The size index (MyMallocIndex.inc). The free list's primitives tell it of
// every change to the list and of every change of a listed block's size. In
// the plain-walk build (MYMALLOC_PLAIN_WALK) these do nothing.
void noteListed(BlockHeader *b) noexcept;                   // b entered the list at its head
void noteUnlisted(BlockHeader *b, size_t size) noexcept;    // b, of that size, left the list
void noteResized(BlockHeader *b, size_t oldSize) noexcept;  // listed b has a new size
void noteTookPlace(BlockHeader *old, size_t oldSize, BlockHeader *b) noexcept;  // in old's place
// The blocks after the head that a search reads before it asks the index.
size_t shortWalkLength() noexcept;
// The first block in list order that fits, or null; the head and the short
// walk after it did not fit.
BlockHeader *indexFit(size_t blockSize) noexcept;

// What the searches that the head did not serve cost, for the benchmark
// (heap_search_stats): blocks read, the head included. Counted only in a
// build with MYMALLOC_SEARCH_STATS; elsewhere these do nothing.
void countSlowSearch() noexcept;
void countVisit() noexcept;

// The heap check and the heap walk (MyMallocCheck.inc). While checkWanted
// is set (also before the setting has been read), lock() hands every
// operation to checkOnLock, which checks the block the call was given and the
// head of the free list and walks the heap when it is due; unlock() walks
// again when checkAfterThis is set. noteChunk keeps the table of where the
// heap lies. Out of line and cold: the paths that call them stay as they are.
extern bool checkWanted;
extern bool checkAfterThis;
[[gnu::cold, gnu::noinline]] void checkOnLock(const char *call, void *caller, void *given) noexcept;
[[gnu::cold, gnu::noinline]] void checkOnUnlock() noexcept;
// A listed block that malloc or the search is about to trust.
[[gnu::cold, gnu::noinline]] void checkFreeBlock(const BlockHeader *b) noexcept;
void checkAtExit() noexcept;
void noteChunk(char *start, size_t size) noexcept;

// The preload library's own behaviour (MyMallocPreload.inc, with
// MyMallocLarge.inc and MyMallocThreadCache.inc); the compiled-in build
// calls none of these but the last two, and isLargeBlock from the check.
void *preloadOutsideLimits(size_t size) noexcept;  // a request of 0 bytes or beyond the limit
void alignBreak() noexcept;                        // chunks start aligned, whoever moved the break
// The four entry points' road through the per-thread cache, mapped large
// blocks and realloc in place; each counts its call.
void *preloadMalloc(size_t size);
void preloadFree(void *ptr);
void *preloadRealloc(void *ptr, size_t size);
void *preloadCalloc(size_t count, size_t size);
// For the aligned entry points: a request of this many bytes, or of this
// alignment, or more gets a mapping of its own (mapBlock, no lock needed).
size_t mapThresholdNow();
void *mapBlock(size_t size, size_t alignment);
size_t usableSize(void *ptr);               // the bytes a block holds, mapped or not
size_t roundedAlignment(size_t alignment);  // glibc's leniency: up to a power of two
// Whether payload, outside the heap's chunks, is a mapped block of the
// preload library, which the heap check then accepts as the allocator's own.
bool isLargeBlock(const void *payload) noexcept;
bool statsWanted() noexcept;    // whether the exit report is printed
FILE *reportStream() noexcept;  // where the statistics go

}  // namespace
