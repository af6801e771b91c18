// alloc_faults MODE: commits one heap fault for the heap check to catch (MYMALLOC_CHECK set
// by the caller). Before the fault it writes "line L offset O\n": the source line of the call
// that meets the fault and the offset the report must name, counted from the heap's start as
// print_list counts it. Built with the allocator compiled in and as a plain program for
// libmymalloc.so; either way it takes the heap's start from /proc/self/maps.

#include <fcntl.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "check.h"

namespace {

// The start of the [heap] mapping: where the first chunk begins.
uintptr_t heapStart() {
  static char maps[1 << 16];
  int fd = open("/proc/self/maps", O_RDONLY);
  CHECK(fd >= 0);
  size_t got = 0;
  ssize_t n;
  while (got < sizeof maps - 1 && (n = read(fd, maps + got, sizeof maps - 1 - got)) > 0)
    got += static_cast<size_t>(n);
  close(fd);
  maps[got] = '\0';
  for (char *line = maps; *line != '\0';) {
    char *end = strchr(line, '\n');
    if (end == nullptr) end = line + strlen(line);
    if (end - line > 6 && strncmp(end - 6, "[heap]", 6) == 0) return strtoull(line, nullptr, 16);
    line = *end == '\0' ? end : end + 1;
  }
  CHECK(!"no [heap] mapping");
  return 0;
}

// Says where the next call goes wrong: its line and the header the report names.
void expect(int line, const void *payload) {
  char text[128];
  long offset = static_cast<long>(reinterpret_cast<uintptr_t>(payload) - 16 - heapStart());
  snprintf(text, sizeof text, "line %d offset %ld\n", line, offset);
  CHECK(write(STDOUT_FILENO, text, strlen(text)) == static_cast<ssize_t>(strlen(text)));
}

[[noreturn]] void notReached() {
  report("alloc_faults: the fault was not reported\n");
  _exit(3);
}

// The block is freed and merged into the free block below it; the second
// free finds its old header inside that block.
void doubleFree() {
  char *p = static_cast<char *>(malloc(40));
  free(p);
  expect(__LINE__ + 1, p);
  free(p);
  notReached();
}

// A block between two allocated ones is freed alone and freed again.
void doubleFreeAlone() {
  char *above = static_cast<char *>(malloc(40));
  char *p = static_cast<char *>(malloc(40));
  char *below = static_cast<char *>(malloc(40));
  free(p);
  expect(__LINE__ + 1, p);
  free(p);
  (void)above, (void)below;
  notReached();
}

void interiorPointer() {
  char *p = static_cast<char *>(malloc(100));
  memset(p, 'A', 100);
  expect(__LINE__ + 1, p + 32);
  free(p + 32);
  notReached();
}

void interiorRealloc() {
  char *p = static_cast<char *>(malloc(100));
  memset(p, 'A', 100);
  expect(__LINE__ + 1, p + 48);
  CHECK(realloc(p + 48, 10) != nullptr);
  notReached();
}

void stackPointer() {
  CHECK(malloc(8) != nullptr);  // the heap exists: offsets count from its start
  alignas(16) char onStack[64];
  memset(onStack, 0, sizeof onStack);
  expect(__LINE__ + 1, onStack + 16);
  free(onStack + 16);
  notReached();
}

// A write of the given bytes past the end of p's block, into the header of
// the block above it (16: the whole header; 8: its size word); freeing p
// meets it. Under the check the block ends past what was asked for.
void overrunBy(size_t bytes) {
  char *above = static_cast<char *>(malloc(24));
  char *p = static_cast<char *>(malloc(24));
  CHECK(p + malloc_usable_size(p) <= above - 16);
  memset(p, 'x', static_cast<size_t>(above - 16 - p) + bytes);
  expect(__LINE__ + 1, p);
  free(p);
  notReached();
}
void overrun() { overrunBy(16); }
void overrunSizeWord() { overrunBy(8); }

// Large blocks (mappings of their own in the preload library) pass the check
// whole, grown and aligned; a pointer into one is caught like any other.
void largeInterior() {
  char *p = static_cast<char *>(malloc(1 << 20));
  CHECK(p != nullptr);
  memset(p, 'A', 1 << 20);
  p = static_cast<char *>(realloc(p, 3 << 19));
  CHECK(p != nullptr && p[(1 << 20) - 1] == 'A');
  free(malloc(1 << 20));
  free(aligned_alloc(1 << 16, 1000));
  expect(__LINE__ + 1, p + 64);
  free(p + 64);
  notReached();
}

// Frees every other one of kBlocks blocks, so that the free list holds them
// all, then overwrites a link of one deep in the list (the word at link in
// its payload: 0 its _nextFree, 8 its _prevFree), which no call reaches: the
// calls after it are served by the head. Writes a line per call until the
// walk reports the link.
constexpr int kBlocks = 64;
[[noreturn]] void strayWrite(size_t link) {
  char *blocks[kBlocks];
  for (char *&b : blocks) b = static_cast<char *>(malloc(100));
  for (int i = 0; i < kBlocks; i += 2) free(blocks[i]);
  char *victim = blocks[20];
  expect(0, victim);
  memset(victim + link, 0x5a, 8);
  for (long call = 0; call < 100 * kBlocks; call += 2) {
    free(malloc(16));
    CHECK(write(STDOUT_FILENO, "2 calls\n", 8) == 8);
  }
  notReached();
}
// A link that disagrees with its neighbour's.
void strayLink() { strayWrite(8); }
// A forward link become a wild pointer: the walk must report the entry it
// leads to before it reads anything through it.
void strayNext() { strayWrite(0); }

// Frees every other one of 16 blocks, newest first on the list, and overwrites
// the forward link of the second; the block whose link it was.
char *linkOverwritten() {
  static char *blocks[16];
  for (char *&b : blocks) b = static_cast<char *>(malloc(100));
  for (int i = 0; i < 16; i += 2) free(blocks[i]);
  memset(blocks[12], 0x5a, 8);  // the free block's _nextFree
  return blocks[12];
}

// A request none of them fits steps on that link: the search must report it
// before it follows the link.
void searchLink() {
  char *victim = linkOverwritten();
  expect(__LINE__ + 1, victim);
  free(malloc(300));
  notReached();
}

// The same link written over, then the allocator's figures asked for: their
// count follows the free list (the preload library's mallinfo2; the compiled-in
// build has glibc's, which knows nothing of this heap).
void figuresLink() {
  char *victim = linkOverwritten();
  expect(__LINE__ + 1, victim);
  CHECK(mallinfo2().ordblks > 0);
  notReached();
}

// A 200-byte block freed between two in use, its four bytes at payload byte
// at written over after free; the block.
char *writtenAfterFree(size_t at) {
  char *blocks[3];
  for (char *&b : blocks) b = static_cast<char *>(malloc(200));
  free(blocks[1]);
  memset(blocks[1] + at, 0x7f, 4);
  return blocks[1];
}

// Written just past its links, where it keeps its place in the size index:
// the allocation carved from it must report it, not follow the word beyond
// the index.
void indexWord() {
  char *freed = writtenAfterFree(16);
  expect(__LINE__ + 1, freed);
  free(malloc(40));
  notReached();
}

// Written at byte at after free; the allocation that takes the block whole
// reports it. 20: between the index word and the first whole word of a free
// block's pattern; 0 and 8: where the preload library's heap check keeps a
// held-back block's first word and its mark.
void takenWhole(size_t at) {
  char *freed = writtenAfterFree(at);
  expect(__LINE__ + 1, freed);
  CHECK(malloc(200) != nullptr);
  notReached();
}
void gapWord() { takenWhole(20); }
void firstWord() { takenWhole(0); }
void markWord() { takenWhole(8); }

// A header forged inside the first chunk's top block, whose block would end
// in the second chunk, right after the break took that chunk too: the two
// chunks lie end to end, and the preload library's quick check spans both
// once a free has met them. The block the header claims must still be
// checked against its own chunk, where it does not fit: no block. Given to
// free, or to realloc (which reads the same range).
void acrossChunks(bool realloced) {
  char *top = static_cast<char *>(malloc(2000));  // carved from the chunk's top
  // Words of the heap's own, by address: outside every object the program holds.
  auto word = [](const char *at) { return reinterpret_cast<size_t *>(reinterpret_cast<uintptr_t>(at)); };
  const char *header = reinterpret_cast<const char *>(reinterpret_cast<uintptr_t>(top) - 16);
  const char *fencepost = header + (*word(header) & ~size_t{1});
  CHECK(*word(fencepost) == 1);
  const char *chunkEnd = fencepost + 16;
  for (int i = 0; i < 64; i++) {  // until a block lies in the next chunk
    char *p = static_cast<char *>(malloc(64 * 1024));
    CHECK(p != nullptr);
    if (p > chunkEnd) break;
  }
  CHECK(*word(chunkEnd) == 1);  // the next chunk's left fencepost: the two touch
  free(malloc(16));  // the first free: the quick check's range now holds both chunks
  constexpr size_t kForged = 1024;
  char *forged = const_cast<char *>(chunkEnd) - 960;  // its block would end 64 bytes into the next
  *word(forged) = kForged | 1;
  *word(forged + kForged + 8) = kForged;  // the "next block's" left size, in the free block there
  expect(__LINE__ + 1 + (realloced ? 1 : 0), forged + 16);
  if (!realloced) free(forged + 16);
  CHECK(realloc(forged + 16, 2000) != nullptr);
  notReached();
}
void acrossChunksFree() { acrossChunks(false); }
void acrossChunksRealloc() { acrossChunks(true); }

// A small block's size word written over while the block waits in the
// thread's cache: when the cache gives it back (malloc_trim drains it), the
// header is checked before the size is followed to a neighbour.
void parkedHeader() {
  char *p = static_cast<char *>(malloc(24));
  free(p);
  *reinterpret_cast<size_t *>(reinterpret_cast<uintptr_t>(p) - 16) = (size_t{1} << 40) | 1;
  expect(__LINE__ + 1, p);
  malloc_trim(0);
  notReached();
}

const struct {
  const char *name;
  void (*run)();
} kModes[] = {
    {"parked-header", parkedHeader},
    {"gap-word", gapWord},
    {"first-word", firstWord},
    {"mark-word", markWord},
    {"figures-link", figuresLink},
    {"across-chunks", acrossChunksFree},
    {"across-chunks-realloc", acrossChunksRealloc},
    {"double-free", doubleFree},
    {"double-free-alone", doubleFreeAlone},
    {"interior", interiorPointer},
    {"interior-realloc", interiorRealloc},
    {"stack", stackPointer},
    {"overrun", overrun},
    {"overrun-size-word", overrunSizeWord},
    {"stray-link", strayLink},
    {"stray-next", strayNext},
    {"search-link", searchLink},
    {"index-word", indexWord},
    {"large-interior", largeInterior},
};

}  // namespace

int main(int argc, char **argv) {
  for (const auto &m : kModes)
    if (argc == 2 && strcmp(argv[1], m.name) == 0) m.run();
  report(
      "Usage: alloc_faults double-free|double-free-alone|interior|interior-realloc|stack|"
      "overrun|overrun-size-word|stray-link|stray-next|large-interior|across-chunks|"
      "across-chunks-realloc|parked-header|gap-word|first-word|mark-word|figures-link|"
      "search-link|index-word\n");
  return 2;
}
