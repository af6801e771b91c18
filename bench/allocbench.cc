// allocbench: runs one allocator workload, times it and prints one result line.
// Built twice from this file: allocbench-mymalloc with MyMalloc compiled in, and
// allocbench with libc's malloc, which scripts/bench also runs with other allocators
// preloaded. C-style on purpose: the MyMalloc build links no C++ runtime.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "rng.h"

#ifdef ALLOCBENCH_MYMALLOC
#include "MyMalloc.h"
#include "MyMallocLayout.h"
#endif

// Callgrind dumps its counts each time this is entered (--dump-before), so
// the segments workload gets one count per segment.
extern "C" [[gnu::noinline]] void allocbench_mark() { __asm__ volatile(""); }

namespace {

constexpr int kCarveBlocks = 1 << 14;  // blocks carved per carve round
constexpr int kMaxLive = 1 << 14;      // largest LIVE for lifo
constexpr double kFragMin = 16, kFragMax = 32768;
constexpr int kThreadLive = 100;  // live blocks per thread in the threads workload
constexpr int kMaxThreads = 64;
constexpr int kSizeTable = 1024;  // lifo sizes, a power of two
constexpr int kSegmentLive[] = {25, 100, 400, 1600};

void *slots[kMaxLive > kCarveBlocks ? kMaxLive : kCarveBlocks];

// What MyMalloc's searches cost, as the allocator counts it: every search
// that the head of the free list does not serve, with the blocks it reads
// and the size-index nodes it steps through; the others read one block.
struct SearchCost {
  long long searches;
  double visits, indexSteps;
  size_t indexBytes;  // what the size index holds beside the heap at the end
};
#ifdef ALLOCBENCH_MYMALLOC
long long allocationCalls() {
  return static_cast<long long>(_mallocCalls) + _reallocCalls + _callocCalls;
}
HeapSearchStats statsAtStart;
long long callsAtStart;
#endif

void markSearchStart() {
#ifdef ALLOCBENCH_MYMALLOC
  heap_search_stats(&statsAtStart);
  callsAtStart = allocationCalls();
#endif
}

SearchCost searchCost() {
  SearchCost c{0, 0, 0, 0};
#ifdef ALLOCBENCH_MYMALLOC
  HeapSearchStats now;
  heap_search_stats(&now);
  c.searches = allocationCalls() - callsAtStart;
  c.indexBytes = now.indexBytes;
  long long slow = static_cast<long long>(now.slowSearches - statsAtStart.slowSearches);
  if (c.searches > 0) {
    c.visits = static_cast<double>(
                   c.searches - slow +
                   static_cast<long long>(now.blocksVisited - statsAtStart.blocksVisited)) /
               static_cast<double>(c.searches);
    c.indexSteps = static_cast<double>(now.indexSteps - statsAtStart.indexSteps) /
                   static_cast<double>(c.searches);
  }
#endif
  return c;
}

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Starts the measured part: searches before it are not counted.
double startClock() {
  markSearchStart();
  return now();
}

[[noreturn]] void outOfMemory() {
  fprintf(stderr, "allocbench: malloc failed\n");
  exit(1);
}

void *mustMalloc(size_t n) {
  void *p = malloc(n);
  if (p == nullptr) outOfMemory();
  return p;
}

size_t carveSize(int i) { return 8 + 8 * static_cast<size_t>(i % 8); }

// One round: carve kCarveBlocks blocks of 8..64 bytes, free every other one,
// allocate the freed slots again with the next size of the cycle, free all.
// Returns the malloc/free pairs run: 1.5 per block.
long long carveRound() {
  for (int i = 0; i < kCarveBlocks; i++) slots[i] = mustMalloc(carveSize(i));
  for (int i = 1; i < kCarveBlocks; i += 2) free(slots[i]);
  for (int i = 1; i < kCarveBlocks; i += 2) slots[i] = mustMalloc(carveSize(i + 1));
  for (int i = 0; i < kCarveBlocks; i++) free(slots[i]);
  return kCarveBlocks + kCarveBlocks / 2;
}

struct LifoSizes {
  unsigned short size[kSizeTable];
};
LifoSizes lifoSizes;  // lifo and segments

void fillLifoSizes(LifoSizes *t, uint64_t seed) {
  Rng r{seed};
  for (int i = 0; i < kSizeTable; i++)
    t->size[i] = static_cast<unsigned short>(16 + r.next() % 113);
}

// Rounds of: allocate `live` blocks, free them newest first. Runs `pairs`
// malloc/free pairs (rounded down to whole rounds) and returns that number.
long long lifo(void **p, int live, long long pairs, const LifoSizes *t) {
  long long rounds = pairs / live;
  for (long long r = 0; r < rounds; r++) {
    for (int i = 0; i < live; i++) p[i] = mustMalloc(t->size[(r + i) & (kSizeTable - 1)]);
    for (int i = live - 1; i >= 0; i--) free(p[i]);
  }
  return rounds * live;
}

size_t fragSize(Rng *r) {
  // Inverse of the distribution function of a density proportional to 1/s^2.
  double s = 1.0 / (1.0 / kFragMin - r->unit() * (1.0 / kFragMin - 1.0 / kFragMax));
  return static_cast<size_t>(s);
}

// Each step frees a random slot and fills it with a new block. The slots are
// filled before the clock starts; returns the pairs run.
long long fragSteps(Rng *r, int live, long long steps) {
  for (long long s = 0; s < steps; s++) {
    int j = static_cast<int>(r->next() % static_cast<uint64_t>(live));
    free(slots[j]);
    slots[j] = mustMalloc(fragSize(r));
  }
  return steps;
}

struct ThreadArg {
  pthread_t thread;
  long long pairs;
  int *go;
  LifoSizes sizes;
  void *p[kThreadLive];
};

void *threadMain(void *v) {
  ThreadArg *a = static_cast<ThreadArg *>(v);
  while (!__atomic_load_n(a->go, __ATOMIC_ACQUIRE)) {
  }
  lifo(a->p, kThreadLive, a->pairs, &a->sizes);
  return nullptr;
}

ThreadArg threadArgs[kMaxThreads];

void startThread(pthread_t *thread, void *(*body)(void *), void *arg) {
  int err = pthread_create(thread, nullptr, body, arg);
  if (err != 0) {
    errno = err;
    perror("pthread_create");
    exit(1);
  }
}

// One live count for callgrind: a warm-up round, then `pairs` and 2 * `pairs`
// pairs between marks. Returns the pairs run after the warm-up.
long long lifoSegments(int live, long long pairs) {
  lifo(slots, live, live, &lifoSizes);
  allocbench_mark();
  long long run = lifo(slots, live, pairs, &lifoSizes);
  allocbench_mark();
  run += lifo(slots, live, 2 * pairs, &lifoSizes);
  allocbench_mark();
  return run;
}

// lifoSegments(kThreadLive) in a second thread: the allocators' threaded path.
void *segmentThread(void *v) {
  long long *pairs = static_cast<long long *>(v);
  *pairs = lifoSegments(kThreadLive, *pairs);
  return nullptr;
}

// The stress workload: kStressThreads threads at once, in kStressRounds
// rounds; thread t of a round takes over the live blocks that thread t of
// the round before left, and the blocks handed to it.
constexpr int kStressThreads = 32;
constexpr int kStressRounds = 4;
constexpr int kStressLive = 256;    // live blocks per thread
constexpr int kStressMailbox = 64;  // blocks waiting to be freed by a thread
constexpr uint64_t kPatternStep = 0x9E3779B97F4A7C15ULL;

struct StressBlock {
  uint64_t *p;
  size_t words;  // the block's length in 8-byte words, all patterned
  uint64_t tag;
};

// Blocks handed to one thread to free. Its lock is a plain mutex, which
// allocates nothing.
struct Mailbox {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  int count = 0;
  StressBlock blocks[kStressMailbox];
};

struct StressThread {
  pthread_t thread;
  int index;
  int round;
  long long steps;
  StressBlock live[kStressLive];
};

StressThread stressThreads[kStressThreads];
Mailbox mailboxes[kStressThreads];

// Mostly small blocks, and one in a hundred between 1 KiB and 128 KiB.
size_t stressWords(Rng *r) {
  if (r->next() % 100 == 0) return 128 + r->next() % (16384 - 128);
  return 1 + r->next() % 128;
}

StressBlock stressAllocate(Rng *r, uint64_t tag) {
  StressBlock b{nullptr, stressWords(r), tag};
  b.p = static_cast<uint64_t *>(mustMalloc(b.words * 8));
  uint64_t w = tag * kPatternStep;
  for (size_t i = 0; i < b.words; i++) b.p[i] = w + i;
  return b;
}

// Checks the pattern, then frees the block.
void stressFree(const StressBlock &b) {
  uint64_t w = b.tag * kPatternStep;
  for (size_t i = 0; i < b.words; i++) {
    if (b.p[i] != w + i) {
      fprintf(stderr, "allocbench: stress block %p overwritten at word %zu\n",
              static_cast<void *>(b.p), i);
      exit(1);
    }
  }
  free(b.p);
}

// Hands b to thread `to` to free; false if its mailbox is full.
bool handOver(int to, const StressBlock &b) {
  Mailbox *m = &mailboxes[to];
  pthread_mutex_lock(&m->lock);
  bool room = m->count < kStressMailbox;
  if (room) m->blocks[m->count++] = b;
  pthread_mutex_unlock(&m->lock);
  return room;
}

void emptyMailbox(int owner) {
  Mailbox *m = &mailboxes[owner];
  StressBlock taken[kStressMailbox];
  pthread_mutex_lock(&m->lock);
  int n = m->count;
  memcpy(taken, m->blocks, sizeof(StressBlock) * static_cast<size_t>(n));
  m->count = 0;
  pthread_mutex_unlock(&m->lock);
  for (int i = 0; i < n; i++) stressFree(taken[i]);
}

void *stressMain(void *v) {
  StressThread *t = static_cast<StressThread *>(v);
  Rng r{(static_cast<uint64_t>(t->round) << 32 | static_cast<uint64_t>(t->index)) * 2 + 1};
  uint64_t tag = static_cast<uint64_t>(t->round) << 40 | static_cast<uint64_t>(t->index) << 32;
  for (long long s = 0; s < t->steps; s++) {
    if ((s & 15) == 0) emptyMailbox(t->index);
    StressBlock &slot = t->live[r.next() % kStressLive];
    if (slot.p != nullptr) {
      int to = static_cast<int>(r.next() % kStressThreads);
      if (r.next() % 8 != 0 || to == t->index || !handOver(to, slot)) stressFree(slot);
    }
    slot = stressAllocate(&r, ++tag);
  }
  return nullptr;
}

// Returns the malloc/free pairs run; every block is freed before it returns.
long long stress(long long pairs) {
  long long steps = pairs / (kStressThreads * kStressRounds);
  for (int round = 0; round < kStressRounds; round++) {
    for (int i = 0; i < kStressThreads; i++) {
      StressThread *t = &stressThreads[i];
      t->index = i;
      t->round = round;
      t->steps = steps;
      startThread(&t->thread, stressMain, t);
    }
    for (int i = 0; i < kStressThreads; i++) pthread_join(stressThreads[i].thread, nullptr);
  }
  for (int i = 0; i < kStressThreads; i++) {
    emptyMailbox(i);
    for (StressBlock &b : stressThreads[i].live) {
      if (b.p != nullptr) stressFree(b);
      b.p = nullptr;
    }
  }
  return steps * kStressThreads * kStressRounds;
}

// The realloc workload: string builders and growing arrays. Returns the
// allocator calls made.
constexpr size_t kReallocStart = 16, kReallocCap = 4096;
size_t reallocSizes[kMaxLive];

void *mustRealloc(void *p, size_t n) {
  void *q = realloc(p, n);
  if (q == nullptr) outOfMemory();
  return q;
}

long long reallocSteps(Rng *r, int live, long long steps) {
  long long calls = 0;
  for (long long s = 0; s < steps; s++) {
    int j = static_cast<int>(r->below(static_cast<size_t>(live)));
    size_t n = reallocSizes[j] + 1 + r->below(32);
    if (n > kReallocCap) {  // done with this one: a new string
      free(slots[j]);
      n = kReallocStart;
      slots[j] = mustMalloc(n);
      calls += 2;
    } else {
      if (r->below(64) == 0) n = n / 4 + kReallocStart;  // cut short
      slots[j] = mustRealloc(slots[j], n);
      calls++;
    }
    static_cast<char *>(slots[j])[n - 1] = static_cast<char>(s);  // the byte just appended
    reallocSizes[j] = n;
  }
  return calls;
}

// The large-buffer workloads: `steps` steps of kLargeStep bytes, each new
// part written. Grown in place by realloc, or replaced by a larger copy.
constexpr size_t kLargeStep = 1 << 20;

long long largeSteps(long long steps, bool copy) {
  size_t n = kLargeStep;
  char *p = static_cast<char *>(mustMalloc(n));
  memset(p, 1, n);
  for (long long s = 0; s < steps; s++) {
    char *q;
    if (copy) {
      q = static_cast<char *>(mustMalloc(n + kLargeStep));
      memcpy(q, p, n);
      free(p);
    } else {
      q = static_cast<char *>(mustRealloc(p, n + kLargeStep));
    }
    memset(q + n, static_cast<int>(s), kLargeStep);
    p = q;
    n += kLargeStep;
  }
  free(p);
  return copy ? 2 * steps + 2 : steps + 2;
}

// The producer-consumer workload: N/2 producers, each allocating 64-byte
// blocks into a ring of its own, and as many consumers, each freeing what
// one producer's ring holds; each side yields while its ring is full or
// empty. It runs for kProduceSeconds, or, given -n, for that many blocks.
constexpr unsigned kRing = 1024;  // a power of two
constexpr size_t kProduceSize = 64;
constexpr double kProduceSeconds = 0.3;
struct Ring {
  void *slot[kRing];
  alignas(64) unsigned long long head;  // written by the producer
  alignas(64) unsigned long long tail;  // written by the consumer
  alignas(64) unsigned long long end;   // the producer's last head, once it stops; else ~0
  long long blocks;                     // to produce; 0: until the time is up
  double deadline;
  pthread_t producer, consumer;
};
Ring rings[kMaxThreads / 2];

void *consumer(void *v) {
  Ring *g = static_cast<Ring *>(v);
  for (;;) {
    // acquire: the slots up to head, written before the producer's release.
    unsigned long long head = __atomic_load_n(&g->head, __ATOMIC_ACQUIRE);
    if (head == g->tail) {
      // The producer stores end after its last head: an empty ring at end is done.
      if (g->tail == __atomic_load_n(&g->end, __ATOMIC_ACQUIRE)) return nullptr;
      sched_yield();
      continue;
    }
    for (; g->tail != head; g->tail++) free(g->slot[g->tail % kRing]);
    // release: the slots are free for the producer to fill again.
    __atomic_store_n(&g->tail, g->tail, __ATOMIC_RELEASE);
  }
}

void *producer(void *v) {
  Ring *g = static_cast<Ring *>(v);
  unsigned long long i = 0;
  for (;; i++) {
    if ((g->blocks != 0 && static_cast<long long>(i) == g->blocks) ||
        (g->blocks == 0 && i % 256 == 0 && now() > g->deadline))
      break;
    while (i - __atomic_load_n(&g->tail, __ATOMIC_ACQUIRE) == kRing) sched_yield();
    auto *p = static_cast<unsigned long long *>(mustMalloc(kProduceSize));
    *p = i;
    g->slot[i % kRing] = p;
    __atomic_store_n(&g->head, i + 1, __ATOMIC_RELEASE);  // publishes the slot
  }
  __atomic_store_n(&g->end, i, __ATOMIC_RELEASE);
  return nullptr;
}

// The server workload with successors ("larson"): N threads, each owning
// kServerLive blocks of 8..1000 bytes; each step frees a random one of them
// and allocates a new one in its place. After kServerSteps steps a thread
// starts its successor, which takes over its blocks, and ends. The first
// blocks come from the main thread, and a thread replaces only about 40% of
// its blocks, so most frees (about 80%) are of blocks another thread allocated.
constexpr int kServerLive = 2000;
constexpr int kServerSteps = 1000;
constexpr size_t kServerMin = 8, kServerMax = 1000;
struct ServerChain {
  void *block[kServerLive];
  pthread_t *generation;  // generation[g] runs the chain's g-th thread
  int generations, current;
  uint64_t seed;
};
ServerChain serverChains[kMaxThreads];

void *serverMain(void *v) {
  ServerChain *c = static_cast<ServerChain *>(v);
  Rng r{c->seed * 2654435761ULL + static_cast<uint64_t>(c->current) * 2 + 1};
  for (int s = 0; s < kServerSteps; s++) {
    int j = static_cast<int>(r.below(kServerLive));
    free(c->block[j]);
    size_t n = kServerMin + r.below(kServerMax - kServerMin + 1);
    c->block[j] = mustMalloc(n);
    *static_cast<char *>(c->block[j]) = static_cast<char>(s);
  }
  // The main thread reads generation[current + 1] only after it has joined
  // this thread, so it sees what pthread_create stored there.
  if (++c->current < c->generations) startThread(&c->generation[c->current], serverMain, c);
  return nullptr;
}

// The passing workload: N threads share kPassLive live blocks per thread in
// one table; each step allocates a block of 8..2048 bytes and swaps it into
// a random slot of the table, freeing the block it takes out, which another
// thread allocated (N - 1 times in N). Each block carries its own address in
// its first word, checked before it is freed.
constexpr int kPassLive = 2000;
constexpr size_t kPassMin = 8, kPassMax = 2048;
constexpr uintptr_t kPassMark = 0x5A5A5A5A5A5A5A5AULL;
void **passTable;
int passSlots;
struct PassThread {
  pthread_t thread;
  long long steps;
  uint64_t seed;
};
PassThread passThreads[kMaxThreads];

void *passBlock(Rng *r) {
  void *p = mustMalloc(kPassMin + r->below(kPassMax - kPassMin + 1));
  *static_cast<uintptr_t *>(p) = reinterpret_cast<uintptr_t>(p) ^ kPassMark;
  return p;
}

void passFree(void *p) {
  if (*static_cast<uintptr_t *>(p) != (reinterpret_cast<uintptr_t>(p) ^ kPassMark)) {
    fprintf(stderr, "allocbench: passed block %p overwritten\n", p);
    exit(1);
  }
  free(p);
}

void *passMain(void *v) {
  PassThread *t = static_cast<PassThread *>(v);
  Rng r{t->seed};
  for (long long s = 0; s < t->steps; s++) {
    void *p = passBlock(&r);
    // acq_rel: the block's first word, written above, travels with it, and
    // the first word of the block taken out is seen before it is checked.
    passFree(__atomic_exchange_n(&passTable[r.below(static_cast<size_t>(passSlots))], p,
                                 __ATOMIC_ACQ_REL));
  }
  return nullptr;
}

// The large-buffer workload: kBufferSlots buffers of 5..25 MiB, each step
// replacing a random one with a new zero-filled one (calloc). Every page of
// a new buffer is written, as a program fills its buffer in: its first word,
// and then its second, which must still read zero though the buffer that
// held the memory before wrote it too.
constexpr int kBufferSlots = 20;
constexpr size_t kBufferMin = 5 << 20, kBufferMax = 25 << 20;
constexpr size_t kBufferPage = 4096;
struct Buffer {
  char *p;
  size_t n;
};
Buffer buffers[kBufferSlots];

Buffer newBuffer(Rng *r, long long step) {
  Buffer b{nullptr, kBufferMin + r->below(kBufferMax - kBufferMin + 1)};
  b.p = static_cast<char *>(calloc(1, b.n));
  if (b.p == nullptr) outOfMemory();
  for (size_t i = 0; i + 2 * sizeof(long long) <= b.n; i += kBufferPage) {
    long long *w = reinterpret_cast<long long *>(b.p + i);
    w[0] = step + 1;  // the page's one fault is a write
    if (w[1] != 0) {
      fprintf(stderr, "allocbench: calloc buffer not zero at byte %zu\n", i + sizeof(long long));
      exit(1);
    }
    w[1] = step + 1;
  }
  return b;
}

// What one run measured. The run functions set pairs (and calls where they
// are not two per pair) and take the time with startClock and stopClock.
struct Result {
  long long pairs;
  long long calls;  // malloc, free and realloc calls: 2 * pairs unless the workload says
  double start, seconds;
  SearchCost cost;
};

// Ends the measured part; what follows (freeing what is left) is not timed.
void stopClock(Result *res) {
  res->seconds = now() - res->start;
  res->cost = searchCost();
}

void runCarve(int, long long pairs, Result *res) {
  carveRound();  // warm-up: the heap takes its working size
  res->start = startClock();
  while (res->pairs < (pairs != 0 ? pairs : 1500000)) res->pairs += carveRound();
  stopClock(res);
}

void runLifo(int live, long long pairs, Result *res) {
  fillLifoSizes(&lifoSizes, 1);
  lifo(slots, live, live, &lifoSizes);  // warm-up round
  res->start = startClock();
  res->pairs = lifo(slots, live, pairs != 0 ? pairs : 4000000, &lifoSizes);
  stopClock(res);
}

void runFrag(int live, long long pairs, Result *res) {
  Rng r{7};
  for (int j = 0; j < live; j++) slots[j] = mustMalloc(fragSize(&r));
  fragSteps(&r, live, live * 4);  // warm-up: let the heap fragment
  res->start = startClock();
  res->pairs = fragSteps(&r, live, pairs != 0 ? pairs : 300000);
  stopClock(res);
  for (int j = 0; j < live; j++) free(slots[j]);
}

void runThreads(int count, long long pairs, Result *res) {
  if (pairs == 0) pairs = 4000000;
  int go = 0;
  for (int t = 0; t < count; t++) {
    ThreadArg *a = &threadArgs[t];
    a->pairs = pairs / count;
    a->go = &go;
    fillLifoSizes(&a->sizes, static_cast<uint64_t>(t) + 1);
    startThread(&a->thread, threadMain, a);
  }
  res->start = startClock();
  __atomic_store_n(&go, 1, __ATOMIC_RELEASE);
  for (int t = 0; t < count; t++) {
    pthread_join(threadArgs[t].thread, nullptr);
    res->pairs += threadArgs[t].pairs / kThreadLive * kThreadLive;
  }
  stopClock(res);
}

void runSegments(int, long long pairs, Result *res) {
  if (pairs == 0) pairs = 32000;
  fillLifoSizes(&lifoSizes, 1);
  res->start = startClock();
  for (int live : kSegmentLive) res->pairs += lifoSegments(live, pairs);
  pthread_t thread;
  long long threadPairs = pairs;
  startThread(&thread, segmentThread, &threadPairs);
  pthread_join(thread, nullptr);
  res->pairs += threadPairs;
  stopClock(res);
}

void runStress(int, long long pairs, Result *res) {
  res->start = startClock();
  res->pairs = stress(pairs != 0 ? pairs : 1000000);
  stopClock(res);
}

void runRealloc(int live, long long pairs, Result *res) {
  if (pairs == 0) pairs = 1000000;
  Rng r{11};
  for (int j = 0; j < live; j++) slots[j] = mustMalloc(reallocSizes[j] = kReallocStart);
  reallocSteps(&r, live, live * 64);  // warm-up: the blocks reach all sizes
  res->start = startClock();
  res->calls = reallocSteps(&r, live, pairs);
  res->pairs = pairs;
  stopClock(res);
  for (int j = 0; j < live; j++) free(slots[j]);
}

void runLarge(long long pairs, bool copy, Result *res) {
  if (pairs == 0) pairs = copy ? 63 : 255;
  res->start = startClock();
  res->calls = largeSteps(pairs, copy);
  res->pairs = pairs;
  stopClock(res);
}
void runGrow(int, long long pairs, Result *res) { runLarge(pairs, false, res); }
void runReplace(int, long long pairs, Result *res) { runLarge(pairs, true, res); }

void runProdcons(int threads, long long blocks, Result *res) {
  int pairs = threads / 2;
  res->start = startClock();
  for (int i = 0; i < pairs; i++) {
    Ring *g = &rings[i];
    g->head = g->tail = 0;
    g->end = ~0ULL;
    g->blocks = blocks / pairs;
    g->deadline = res->start + kProduceSeconds;
    startThread(&g->consumer, consumer, g);
    startThread(&g->producer, producer, g);
  }
  for (int i = 0; i < pairs; i++) {
    pthread_join(rings[i].producer, nullptr);
    pthread_join(rings[i].consumer, nullptr);
    res->pairs += static_cast<long long>(rings[i].end);
  }
  stopClock(res);
}

void runServer(int threads, long long pairs, Result *res) {
  if (pairs == 0) pairs = 2000000;
  int generations = static_cast<int>(pairs / (static_cast<long long>(threads) * kServerSteps));
  if (generations < 1) generations = 1;
  Rng r{5};
  for (int t = 0; t < threads; t++) {
    ServerChain *c = &serverChains[t];
    for (void *&b : c->block) b = mustMalloc(kServerMin + r.below(kServerMax - kServerMin + 1));
    c->generation = static_cast<pthread_t *>(mustMalloc(sizeof(pthread_t) * generations));
    c->generations = generations;
    c->current = 0;
    c->seed = static_cast<uint64_t>(t) + 1;
  }
  res->start = startClock();
  for (int t = 0; t < threads; t++)
    startThread(&serverChains[t].generation[0], serverMain, &serverChains[t]);
  for (int t = 0; t < threads; t++)
    for (int g = 0; g < generations; g++) pthread_join(serverChains[t].generation[g], nullptr);
  res->pairs = static_cast<long long>(threads) * generations * kServerSteps;
  stopClock(res);
  for (int t = 0; t < threads; t++) {
    for (void *b : serverChains[t].block) free(b);
    free(serverChains[t].generation);
  }
}

void runPass(int threads, long long pairs, Result *res) {
  if (pairs == 0) pairs = 1000000;
  passSlots = threads * kPassLive;
  passTable = static_cast<void **>(mustMalloc(sizeof(void *) * static_cast<size_t>(passSlots)));
  Rng r{3};
  for (int j = 0; j < passSlots; j++) passTable[j] = passBlock(&r);
  res->start = startClock();
  for (int t = 0; t < threads; t++) {
    passThreads[t].steps = pairs / threads;
    passThreads[t].seed = static_cast<uint64_t>(t) * 2 + 1;
    startThread(&passThreads[t].thread, passMain, &passThreads[t]);
  }
  for (int t = 0; t < threads; t++) {
    pthread_join(passThreads[t].thread, nullptr);
    res->pairs += passThreads[t].steps;
  }
  stopClock(res);
  for (int j = 0; j < passSlots; j++) passFree(passTable[j]);
  free(passTable);
}

void runBuffers(int, long long steps, Result *res) {
  if (steps == 0) steps = 100;
  Rng r{13};
  for (int j = 0; j < kBufferSlots; j++) buffers[j] = newBuffer(&r, j);
  res->start = startClock();
  for (long long s = 0; s < steps; s++) {
    Buffer *b = &buffers[r.below(kBufferSlots)];
    free(b->p);
    *b = newBuffer(&r, s);
  }
  res->pairs = steps;
  stopClock(res);
  for (Buffer &b : buffers) free(b.p);
}

// The workloads: what the usage line says of each, and the rows that the
// benchmark (scripts/bench, through --list) runs.
struct Workload {
  const char *name;
  const char *param;  // the parameter's name, or null when it takes none
  int maxParam;
  void (*run)(int param, long long ops, Result *res);
  const char *rows;  // the parameters the benchmark runs ("" one row, null none)
  bool beyondChunk;  // has requests beyond one chunk, which the compiled-in build refuses
  const char *help;
};

constexpr Workload kWorkloads[] = {
    {"carve", nullptr, 0, runCarve, "", false,
     "carve small blocks, free every other one, allocate again"},
    {"lifo", "LIVE", kMaxLive, runLifo, "25 100 400 1600", false,
     "16..128-byte blocks freed last-in first-out, LIVE of them live"},
    {"frag", "LIVE", kMaxLive, runFrag, "1024 4096 16384", false,
     "LIVE slots; free a random one, allocate 16..32768 bytes (p ~ 1/s^2)"},
    {"threads", "N", kMaxThreads, runThreads, "1 2 4 8", false, "lifo 100 in each of N threads"},
    {"larson", "N", kMaxThreads, runServer, "2 4 8", false,
     "N server threads, 2000 blocks of 8..1000 bytes each; free a random one,\n"
     "allocate in its place; every 1000 steps a successor takes over the blocks"},
    {"prodcons", "N", kMaxThreads, runProdcons, "2 4 8", false,
     "N/2 producers allocate 64-byte blocks that N/2 consumers free, for 0.3 s\n"
     "(with -n: OPS blocks in all)"},
    {"pass", "N", kMaxThreads, runPass, "2 4 8", false,
     "N threads swap new blocks of 8..2048 bytes into a table of 2000*N and free\n"
     "the block taken out, mostly another thread's"},
    {"stress", nullptr, 0, runStress, "", false,
     "32 threads in 4 rounds, 256 live blocks each of 8..1024 bytes and\n"
     "1 in 100 of 1..128 KiB, patterned and checked before free; 1 in 8\n"
     "freed by another thread; the threads end and start again each round"},
    {"realloc", "LIVE", kMaxLive, runRealloc, "1000", false,
     "LIVE blocks, each grown by 1..32 bytes at a time with realloc up\n"
     "to 4 KiB, then freed and started again; 1 in 64 steps shrinks one"},
    {"grow", nullptr, 0, runGrow, "", true,
     "one buffer grown by realloc from 1 MiB to 256 MiB in 1 MiB steps,\n"
     "each new MiB written (OPS: the steps)"},
    {"replace", nullptr, 0, runReplace, "", true,
     "one buffer replaced by a copy 1 MiB larger, from 1 MiB to 64 MiB\n"
     "(OPS: the steps)"},
    {"buffers", nullptr, 0, runBuffers, "", true,
     "20 buffers of 5..25 MiB; each step replaces a random one by calloc and\n"
     "writes a word of each page (OPS: the steps, default 100)"},
    {"segments", nullptr, 0, runSegments, nullptr, false,
     "lifo 25, 100, 400, 1600 in turn, then lifo 100 in a second thread:\n"
     "each a warm-up round, then OPS and 2*OPS pairs, allocbench_mark()\n"
     "called before, between and after (for valgrind --tool=callgrind\n"
     "--dump-before=allocbench_mark)"},
};

[[noreturn]] void usage() {
  fputs("Usage: allocbench WORKLOAD [PARAM] [-n OPS] [-v]\n"
        "       allocbench --list\n",
        stderr);
  for (const Workload &w : kWorkloads) {
    char head[32];
    snprintf(head, sizeof head, "%s %s", w.name, w.param != nullptr ? w.param : "");
    fprintf(stderr, "  %-13s", head);
    for (const char *line = w.help; *line != '\0';) {
      const char *end = strchr(line, '\n');
      int n = end != nullptr ? static_cast<int>(end - line) : static_cast<int>(strlen(line));
      fprintf(stderr, "%.*s\n", n, line);
      line += n + (end != nullptr ? 1 : 0);
      if (*line != '\0') fprintf(stderr, "  %-13s", "");
    }
  }
  fputs("  -n OPS       malloc/free pairs to run (default: about 0.1 s under glibc)\n"
        "  -v           count the free blocks each allocation's search reads, and the size\n"
        "               index nodes it steps through (MyMalloc build only)\n"
        "  --list       the benchmark's rows, one a line: workload=NAME param=P beyond_chunk=0|1\n",
        stderr);
  exit(2);
}

// The benchmark's rows, for scripts/bench.
void listRows() {
  for (const Workload &w : kWorkloads) {
    if (w.rows == nullptr) continue;
    const char *p = w.rows;
    do {
      int param = static_cast<int>(strtol(p, const_cast<char **>(&p), 10));
      printf("workload=%s param=%d beyond_chunk=%d\n", w.name, param, w.beyondChunk ? 1 : 0);
    } while (*p != '\0');
  }
}

// Resident memory of this program in KiB: the peak (VmHWM), and now
// (/proc/self/statm). Not ru_maxrss: Linux carries that across execve, so it
// would report the parent's peak. Read with plain system calls into a static
// buffer: nothing here may allocate.
const char *readProc(const char *path) {
  static char buf[4096];
  int fd = open(path, O_RDONLY);
  if (fd < 0) return nullptr;
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return nullptr;
  buf[n] = '\0';
  return buf;
}

long peakKib() {
  const char *status = readProc("/proc/self/status");
  const char *hwm = status != nullptr ? strstr(status, "VmHWM:") : nullptr;
  return hwm != nullptr ? strtol(hwm + 6, nullptr, 10) : -1;
}

long residentKib() {
  const char *statm = readProc("/proc/self/statm");  // size resident shared ... in pages
  if (statm == nullptr) return -1;
  char *end;
  strtol(statm, &end, 10);
  return strtol(end, nullptr, 10) * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--list") == 0) {
    listRows();
    return 0;
  }
  if (argc < 2) usage();
  const Workload *w = nullptr;
  for (const Workload &candidate : kWorkloads)
    if (strcmp(argv[1], candidate.name) == 0) w = &candidate;
  if (w == nullptr) usage();
  int param = 0;
  int next = 2;
  if (w->param != nullptr) {
    if (argc < 3) usage();
    param = atoi(argv[2]);
    if (param < 1 || param > w->maxParam) usage();
    if (w->run == runProdcons && param % 2 != 0) usage();
    next = 3;
  }
  long long ops = 0;
  bool count = false;
  for (int i = next; i < argc; i++) {
    if (strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      ops = atoll(argv[++i]);
      if (ops < 1) usage();
    } else if (strcmp(argv[i], "-v") == 0) {
      count = true;
    } else {
      usage();
    }
  }
#ifndef ALLOCBENCH_MYMALLOC
  if (count) {
    fprintf(stderr, "allocbench: -v needs the MyMalloc build\n");
    return 2;
  }
#endif
  if (count && w->run == runSegments) usage();

  Result res{0, 0, 0, 0, {0, 0, 0, 0}};
  w->run(param, ops, &res);
  if (res.calls == 0) res.calls = 2 * res.pairs;
  long peak = peakKib();
  long after = residentKib();  // everything is freed by now

  printf("result workload=%s param=%d pairs=%lld ns_per_op=%.3f peak_kb=%ld after_kb=%ld",
         w->name, param, res.pairs, res.seconds * 1e9 / static_cast<double>(res.calls), peak,
         after);
  if (count)
    printf(" visits_per_alloc=%.3f index_steps_per_alloc=%.3f index_kb=%zu", res.cost.visits,
           res.cost.indexSteps, (res.cost.indexBytes + 1023) / 1024);
  if (w->run == runSegments) {
    const char *separator = " lives=";
    for (int live : kSegmentLive) {
      printf("%s%d", separator, live);
      separator = ",";
    }
    printf(" threaded=%d", kThreadLive);
  }
  printf("\n");
  return 0;
}
