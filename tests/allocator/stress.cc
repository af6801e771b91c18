// Seeded random stress of the allocator: every block carries a pattern that is
// verified on free and realloc, and the heap is walked after every batch.
// Usage: alloc_stress single|refusals|small SEED OPS | alloc_stress threads SEED OPS-PER-THREAD
// "refusals" makes the system refuse a heap extension now and then; "small"
// keeps the heap within the few MiB of break that valgrind allows; "large"
// asks for large blocks alone, in a few slots, so that freed mappings are
// reused (preload build). Built
// with the preload library's code (MYMALLOC_PRELOAD), requests beyond one
// chunk are served, realloc may keep its block, and the work runs in a
// thread of its own, whose end gives its cache back before the heap is counted.
#include <errno.h>
#include <malloc.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "MyMalloc.h"
#include "MyMallocLayout.h"
#include "check.h"
#include "heap_check.h"
#include "rng.h"

using namespace mymalloc;

namespace {

constexpr int kSlots = 1024;
constexpr long kBatch = 10000;
constexpr int kThreads = 4;
constexpr int kMailboxes = 64;
#ifdef MYMALLOC_PRELOAD
constexpr bool kPreload = true;
#else
constexpr bool kPreload = false;
#endif

// Calls made, to compare with the allocator's counters (single thread only;
// the threads count too, relaxed, and the counts are not compared).
long mallocs, callocs, reallocs, frees;
void count(long &calls) { __atomic_fetch_add(&calls, 1, __ATOMIC_RELAXED); }

struct Block {
  unsigned char *p;
  size_t size;
  uint64_t tag;
};

// Whether a heap extension was refused during the last call.
bool refusedJustNow(int before) { return pendingRefusals() < before; }

// Mostly small requests, some medium, a few near the limit, and now and
// then one that must be refused.
bool smallOnly, largeOnly;
constexpr int kLargeSlots = 24;  // the slots that "large" uses

size_t drawSize(Rng &rng) {
  size_t roll = rng.below(10000);
  if (smallOnly) return roll < 9990 ? 1 + rng.below(4096) : kLargestRequest + 1;
  if (largeOnly) return 64 * 1024 + rng.below(3 * kLargestRequest);
  if (roll < 9000) return 1 + rng.below(512);
  if (roll < 9980) return 1 + rng.below(65536);
  if (roll < 9995) return 1 + rng.below(kLargestRequest);
  return kLargestRequest + 1 + rng.below(1000);
}

// Word i of a block's pattern; byte i of the block is byte i % 8 of word i / 8
// (little-endian), so any prefix of a block can be checked on its own.
uint64_t patternWord(uint64_t tag, size_t i) { return (tag + i) * 0x9E3779B97F4A7C15ULL; }
unsigned char patternByte(uint64_t tag, size_t i) {
  return static_cast<unsigned char>(patternWord(tag, i / 8) >> (8 * (i % 8)));
}

void fill(const Block &b) {
  size_t words = b.size / 8;
  auto *w = reinterpret_cast<uint64_t *>(b.p);
  for (size_t i = 0; i < words; i++) w[i] = patternWord(b.tag, i);
  for (size_t i = words * 8; i < b.size; i++) b.p[i] = patternByte(b.tag, i);
}

// Checks the first n bytes of b.
void verify(const Block &b, size_t n) {
  size_t words = n / 8;
  auto *w = reinterpret_cast<const uint64_t *>(b.p);
  for (size_t i = 0; i < words; i++)
    if (w[i] != patternWord(b.tag, i)) checkFailed(__FILE__, __LINE__, "block pattern damaged");
  for (size_t i = words * 8; i < n; i++) CHECK_EQ(b.p[i], patternByte(b.tag, i));
}

// Allocates into an empty slot with malloc or calloc.
void allocate(Block &b, Rng &rng) {
  size_t size = drawSize(rng);
  bool zeroed = rng.below(4) == 0;
  errno = 0;
  int refusals = pendingRefusals();
  void *p = zeroed ? calloc(1, size) : malloc(size);
  count(zeroed ? callocs : mallocs);
  if ((!kPreload && size > kLargestRequest) || refusedJustNow(refusals)) {
    CHECK(p == nullptr);
    CHECK_EQ(errno, ENOMEM);
    return;
  }
  CHECK(p != nullptr);
  CHECK_EQ(reinterpret_cast<uintptr_t>(p) % kAlignment, 0);
  b = {static_cast<unsigned char *>(p), size, rng.next()};
  if (zeroed)
    for (size_t i = 0; i < size; i++) CHECK_EQ(b.p[i], 0);
  fill(b);
}

void release(Block &b) {
  verify(b, b.size);
  free(b.p);
  count(frees);
  b = {};
}

void reallocate(Block &b, Rng &rng) {
  verify(b, b.size);
  size_t size = drawSize(rng);
  errno = 0;
  int refusals = pendingRefusals();
  void *p = realloc(b.p, size);
  count(reallocs);
  if ((!kPreload && size > kLargestRequest) || refusedJustNow(refusals)) {  // the old block stays
    CHECK(p == nullptr);
    CHECK_EQ(errno, ENOMEM);
    verify(b, b.size);
    return;
  }
  CHECK(p != nullptr && (kPreload || p != b.p));  // the preload library resizes in place
  CHECK_EQ(reinterpret_cast<uintptr_t>(p) % kAlignment, 0);
  Block moved{static_cast<unsigned char *>(p), size, b.tag};
  verify(moved, size < b.size ? size : b.size);
  b = moved;
  b.tag = rng.next();
  fill(b);
}

void step(Block *slots, Rng &rng) {
  Block &b = slots[rng.below(largeOnly ? kLargeSlots : kSlots)];
  if (b.p == nullptr)
    allocate(b, rng);
  else if (rng.below(3) == 0)
    reallocate(b, rng);
  else
    release(b);
}

// Standard error goes to a memory file, so that the refusal messages can be
// counted; check failures are still reported on the real standard error.
int messages = -1;
void catchMessages() {
  reportFd = dup(STDERR_FILENO);
  messages = memfd_create("stderr", 0);
  CHECK(reportFd >= 0 && messages >= 0);
  CHECK(dup2(messages, STDERR_FILENO) == STDERR_FILENO);
}

long messagesSeen() {
  static const char kMessage[] = "CANNOT SATISFY MEMORY REQUEST. RETHINK YOUR CHOICES!\n";
  constexpr size_t kLength = sizeof kMessage - 1;
  char text[kLength];
  long seen = 0;
  for (off_t at = 0; pread(messages, text, kLength, at) == static_cast<ssize_t>(kLength);
       at += kLength) {
    CHECK_EQ(memcmp(text, kMessage, kLength), 0);
    seen++;
  }
  return seen;
}

// Runs body(arg) in a thread of its own and waits for it to end.
void inThread(void *(*body)(void *), void *arg) {
  pthread_t id;
  CHECK_EQ(pthread_create(&id, nullptr, body, arg), 0);
  CHECK_EQ(pthread_join(id, nullptr), 0);
}

void *nothing(void *) { return nullptr; }

struct SingleRun {
  uint64_t seed;
  long ops;
  bool refuse;
};

void *singleSteps(void *arg) {
  const SingleRun &run = *static_cast<SingleRun *>(arg);
  static Block slots[kSlots];
  Rng rng{run.seed};
  long refused = 0;
  for (long done = 0; done < run.ops; done++) {
    if (run.refuse && pendingRefusals() == 0 && rng.below(500) == 0) refuseSbrk(1);
    int before = pendingRefusals();
    step(slots, rng);
    refused += before - pendingRefusals();
    if (done % kBatch == kBatch - 1) checkHeap();
  }
  if (run.refuse) {
    CHECK(refused > 0);
    CHECK_EQ(messagesSeen(), refused);
  }
  for (Block &b : slots)
    if (b.p != nullptr) release(b);
  return nullptr;
}

// The heap once everything was freed. The preload library holds small freed
// blocks back until malloc_trim gives them to the heap: under the heap
// check, and in the caches that ended threads left in their arenas. A block
// lost from those lists stays in use still, and shows.
HeapCensus settledHeap() {
  if (kPreload) malloc_trim(0);
  return checkHeap();
}

void single(uint64_t seed, long ops, bool refuse) {
  if (refuse) catchMessages();
  SingleRun run{seed, ops, refuse};
  if (kPreload) {  // a thread whose cache goes back when it ends: no block may stay behind
    inThread(nothing, nullptr);  // the threads library keeps blocks for the next thread
    HeapCensus before = settledHeap();
    inThread(singleSteps, &run);
    HeapCensus census = settledHeap();
    CHECK_EQ(census.blocks - census.freeBlocks, before.blocks - before.freeBlocks);
    return;
  }
  HeapCensus before = checkHeap();  // a sanitizer runtime may hold blocks already
  size_t inUseBefore = before.blocks - before.freeBlocks;
  singleSteps(&run);
  HeapCensus census = checkHeap();
  CHECK_EQ(census.blocks - census.freeBlocks, inUseBefore);  // everything merged back
  if (inUseBefore == 0) {                                    // no one else has called the allocator
    CHECK_EQ(_mallocCalls, mallocs);
    CHECK_EQ(_callocCalls, callocs);
    CHECK_EQ(_reallocCalls, reallocs);
    CHECK_EQ(_freeCalls, frees);
  }
}

// Threads hand blocks to each other through mailboxes, so that many blocks
// are freed by a thread other than the one that allocated them.
Block *mailbox[kMailboxes];
long opsPerThread;
uint64_t baseSeed;

void *worker(void *arg) {
  static Block slots[kThreads][kSlots];
  long id = reinterpret_cast<long>(arg);
  Rng rng{baseSeed + static_cast<uint64_t>(id) * 7919};
  Block *mine = slots[id];
  for (long done = 0; done < opsPerThread; done++) {
    step(mine, rng);
    if (rng.below(4) != 0) continue;
    Block &b = mine[rng.below(kSlots)];
    if (b.p == nullptr) continue;
    auto *parcel = static_cast<Block *>(malloc(sizeof(Block)));
    CHECK(parcel != nullptr);
    *parcel = b;
    b = {};
    Block *got = __atomic_exchange_n(&mailbox[rng.below(kMailboxes)], parcel, __ATOMIC_ACQ_REL);
    if (got != nullptr) {
      release(*got);
      free(got);
    }
  }
  for (Block &b : slots[id])
    if (b.p != nullptr) release(b);
  return nullptr;
}

void *emptyMailboxes(void *) {
  for (Block *&parcel : mailbox) {
    if (parcel == nullptr) continue;
    release(*parcel);
    free(parcel);
    parcel = nullptr;
  }
  return nullptr;
}

// More threads than the workers and the main thread had arenas.
constexpr int kTakers = kThreads + 2;
pthread_barrier_t allTaken;

void *takeArena(void *) {
  free(malloc(1));
  pthread_barrier_wait(&allTaken);  // no taker ends before all have their arena
  return nullptr;
}

void threads(uint64_t seed, long ops) {
  baseSeed = seed;
  opsPerThread = ops;
  pthread_t ids[kThreads];
  for (long i = 0; i < kThreads; i++)
    CHECK_EQ(pthread_create(&ids[i], nullptr, worker, reinterpret_cast<void *>(i)), 0);
  for (pthread_t id : ids) CHECK_EQ(pthread_join(id, nullptr), 0);
  // In a thread of its own with the preload library, whose cache would keep the blocks.
  kPreload ? inThread(emptyMailboxes, nullptr) : (void)emptyMailboxes(nullptr);
  HeapCensus census = settledHeap();
  // Only the threads library's own blocks may still be in use, besides the
  // blocks returned to the arenas of threads that ended.
  CHECK(census.blocks - census.freeBlocks - census.returnedBlocks <= 2 * kThreads);
  if (!kPreload) return;
  // Threads that live at once take an arena each, lowest first, and their
  // first allocation takes what was returned to it (into the thread's cache,
  // given back when it ends, or by malloc_trim): no block was lost.
  free(malloc(1));  // the main thread's arena
  pthread_t takers[kTakers];
  CHECK_EQ(pthread_barrier_init(&allTaken, nullptr, kTakers), 0);
  for (pthread_t &id : takers) CHECK_EQ(pthread_create(&id, nullptr, takeArena, nullptr), 0);
  for (pthread_t id : takers) CHECK_EQ(pthread_join(id, nullptr), 0);
  malloc_trim(0);
  census = settledHeap();
  CHECK_EQ(census.returnedBlocks, 0);
  CHECK(census.blocks - census.freeBlocks <= 2 * kThreads);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    report("Usage: alloc_stress single|refusals|small|large|threads SEED OPS\n");
    return 2;
  }
  uint64_t seed = strtoull(argv[2], nullptr, 10) | 1;
  long ops = strtol(argv[3], nullptr, 10);
  if (strcmp(argv[1], "single") == 0)
    single(seed, ops, false);
  else if (strcmp(argv[1], "refusals") == 0)
    single(seed, ops, true);
  else if (strcmp(argv[1], "small") == 0 && (smallOnly = true))
    single(seed, ops, false);
  else if (strcmp(argv[1], "large") == 0 && kPreload && (largeOnly = true))
    single(seed, ops, false);
  else if (strcmp(argv[1], "threads") == 0)
    threads(seed, ops);
  else
    return 2;
  _exit(0);
}
