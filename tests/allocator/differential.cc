// One seeded random run of malloc, free, realloc and calloc calls, built twice:
// with the allocator's size index and with its plain list walk. Each build
// prints a line per 1000 calls (a hash of every result so far, the whole free
// list and the counters); differential.sh compares the two outputs. With
// MAPS, the system grants the allocator only that many mmap calls, so the
// indexed build loses its index part-way and must go on as the walk does.
// Usage: alloc_diff SEED CALLS [MAPS]
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "MyMalloc.h"
#include "MyMallocLayout.h"
#include "rng.h"

using namespace mymalloc;

namespace {

constexpr int kSlots = 4096;
constexpr long kWindow = 1000;

// FNV-1a over 64-bit words.
struct Hash {
  uint64_t h = 14695981039346656037ULL;
  void add(uint64_t v) {
    for (int i = 0; i < 8; i++) h = (h ^ ((v >> (8 * i)) & 0xff)) * 1099511628211ULL;
  }
};

// Mostly small requests, many medium ones that fragment the chunks, some up
// to the limit and a few beyond it.
size_t drawSize(Rng &rng) {
  size_t roll = rng.below(1000);
  if (roll < 800) return 1 + rng.below(256);
  if (roll < 920) return 1 + rng.below(4096);
  if (roll < 980) return 1 + rng.below(65536);
  if (roll < 998) return 1 + rng.below(kLargestRequest);
  return kLargestRequest + 1 + rng.below(1000);
}

void *slots[kSlots];
Hash results;

void noteResult(int op, const void *p) {
  results.add(static_cast<uint64_t>(op));
  results.add(p == nullptr ? static_cast<uint64_t>(errno)
                           : static_cast<uint64_t>(static_cast<const char *>(p) -
                                                   static_cast<char *>(_memStart)));
}

// One call on slot j.
void step(Rng &rng, int j) {
  void *&slot = slots[j];
  size_t roll = rng.below(100);
  errno = 0;
  if (slot == nullptr) {
    size_t n = drawSize(rng);
    if (roll < 70) {
      slot = malloc(n);
      noteResult(1, slot);
    } else if (roll < 85) {
      size_t count = 1 + rng.below(16);
      slot = calloc(count, roll < 84 ? n / count + 1 : SIZE_MAX / 2);
      noteResult(2, slot);
    } else {
      slot = realloc(nullptr, n);
      noteResult(3, slot);
    }
  } else if (roll < 55) {
    free(slot);
    slot = nullptr;
  } else if (roll < 56) {
    free(nullptr);
  } else {
    size_t n = roll < 58 ? 0 : drawSize(rng);
    void *p = realloc(slot, n);
    noteResult(4, p);
    if (p != nullptr || n == 0) slot = p;
  }
}

char line[256];
size_t lineLength;

void put(const char *s) {
  while (*s != '\0' && lineLength < sizeof line) line[lineLength++] = *s++;
}
void putNumber(uint64_t v) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0 && lineLength < sizeof line) line[lineLength++] = digits[--n];
}
void flush(int fd) {
  if (write(fd, line, lineLength) != static_cast<ssize_t>(lineLength)) _exit(2);
  lineLength = 0;
}

struct ListSeen {
  Hash hash;
  uint64_t entries;
};
void onEntry(void *context, long offset, size_t size) noexcept {
  auto *seen = static_cast<ListSeen *>(context);
  seen->hash.add(static_cast<uint64_t>(offset));
  seen->hash.add(size);
  seen->entries++;
}
void onBroken(void *, const char *what, long offset) noexcept {
  put("heap broken: ");
  put(what);
  put(" at offset ");
  putNumber(static_cast<uint64_t>(offset));
  put("\n");
  flush(STDERR_FILENO);
  _exit(1);
}

// The line for the calls so far: results, the free list, the counters.
void report(long calls) {
  ListSeen seen{};
  HeapVisitor visitor{nullptr, onEntry, onBroken, nullptr};
  if (heap_walk(&visitor, &seen) != 0) _exit(1);
  put("calls ");
  putNumber(static_cast<uint64_t>(calls));
  put(" results ");
  putNumber(results.h);
  put(" list ");
  putNumber(seen.entries);
  put(" ");
  putNumber(seen.hash.h);
  put(" heap ");
  putNumber(_heapSize);
  put(" counts ");
  const int counters[] = {_mallocCalls, _reallocCalls, _callocCalls, _freeCalls};
  for (int c : counters) {
    putNumber(static_cast<uint64_t>(c));
    put(" ");
  }
  put("\n");
  flush(STDOUT_FILENO);
}

long mapsLeft = -1;  // mmap calls still granted; -1: all
long mapsRefused;

}  // namespace

extern "C" void *__mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);

// The allocator calls mmap by name; this definition takes its place.
extern "C" void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
  if (mapsLeft == 0) {
    mapsRefused++;
    errno = ENOMEM;
    return MAP_FAILED;
  }
  if (mapsLeft > 0) mapsLeft--;
  return __mmap(addr, length, prot, flags, fd, offset);
}

int main(int argc, char **argv) {
  if (argc != 3 && argc != 4) {
    const char usage[] = "Usage: alloc_diff SEED CALLS [MAPS]\n";
    if (write(STDERR_FILENO, usage, sizeof usage - 1) < 0) return 2;
    return 2;
  }
  Rng rng{strtoull(argv[1], nullptr, 10) | 1};
  long calls = atol(argv[2]);
  if (argc == 4) mapsLeft = atol(argv[3]);
  for (long i = 1; i <= calls; i++) {
    step(rng, static_cast<int>(rng.below(kSlots)));
    if (i % kWindow == 0 || i == calls) report(i);
  }
  HeapSearchStats stats;
  heap_search_stats(&stats);
  if (argc == 4 && stats.indexBytes != 0 && mapsRefused == 0) {
    const char unused[] = "alloc_diff: the index never asked for more than MAPS mappings\n";
    if (write(STDERR_FILENO, unused, sizeof unused - 1) < 0) return 1;
    return 1;
  }
  return 0;
}
