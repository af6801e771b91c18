// The hooks through which MyMalloc.cc reaches the parts beside it. Internal:
// only MyMalloc.cc includes this, and it includes the parts' definitions at its end.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "MyMallocLayout.h"

namespace {

// The size index (MyMallocIndex.inc). The free list's primitives tell it of
// every change to the list and of every change of a listed block's size. In
// the plain-walk build (MYMALLOC_PLAIN_WALK) these do nothing.
void noteListed(BlockHeader *b);                   // b entered the list at its head
void noteUnlisted(BlockHeader *b, size_t size);    // b, of that size, left the list
void noteResized(BlockHeader *b, size_t oldSize);  // listed b has a new size
void noteTookPlace(BlockHeader *old, size_t oldSize, BlockHeader *b);  // b in old's place
// The blocks after the head that a search reads before it asks the index.
size_t shortWalkLength();
// The first block in list order that fits, or null; the head and the short
// walk after it did not fit.
BlockHeader *indexFit(size_t blockSize);

// What the searches that the head did not serve cost, for the benchmark
// (heap_search_stats): blocks read, the head included. Counted only in a
// build with MYMALLOC_SEARCH_STATS; elsewhere these do nothing.
void countSlowSearch();
void countVisit();

// The heap check and the heap walk (MyMallocCheck.inc). lock() and unlock()
// read the two switches; noteChunk keeps the table of where the heap lies.
extern int checkPeriod;      // MYMALLOC_CHECK's N; 0 when no check is wanted
extern bool checkAfterThis;  // the operation under way walks the heap when it ends
void checkOnLock();
void checkOnUnlock();
void checkAtExit();
void noteChunk(char *start, size_t size);

// The preload library's own behaviour (MyMallocPreload.inc, with
// MyMallocLarge.inc and MyMallocThreadCache.inc); the compiled-in build
// calls none of these but the last two.
void *preloadOutsideLimits(size_t size);  // a request of 0 bytes or beyond the limit
void alignBreak();                        // chunks start aligned, whoever moved the break
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
// Whether p, a payload the allocator handed out, is a mapped block rather
// than a block of the heap: the heap check asks before it looks in the chunks.
bool isLargeBlock(const void *p);
bool statsWanted();    // whether the exit report is printed
FILE *reportStream();  // where the statistics go

}  // namespace
