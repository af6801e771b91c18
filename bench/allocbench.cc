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

constexpr const char kUsage[] =
    "Usage: allocbench carve|lifo LIVE|frag LIVE|threads COUNT|stress|segments|\n"
    "                  realloc LIVE|grow|replace|prodcons [-n OPS] [-v]\n"
    "  carve      carve small blocks, free every other one, allocate again\n"
    "  lifo LIVE  16..128-byte blocks freed last-in first-out, LIVE of them live\n"
    "  frag LIVE  LIVE slots; free a random one, allocate 16..32768 bytes (p ~ 1/s^2)\n"
    "  threads N  lifo 100 in each of N threads\n"
    "  stress     32 threads in 4 rounds, 256 live blocks each of 8..1024 bytes and\n"
    "             1 in 100 of 1..128 KiB, patterned and checked before free; 1 in 8\n"
    "             freed by another thread; the threads end and start again each round\n"
    "  segments   lifo 25, 100, 400, 1600 in turn, then lifo 100 in a second thread:\n"
    "             each a warm-up round, then OPS and 2*OPS pairs, allocbench_mark()\n"
    "             called before, between and after (for valgrind --tool=callgrind\n"
    "             --dump-before=allocbench_mark)\n"
    "  realloc LIVE  LIVE blocks, each grown by 1..32 bytes at a time with realloc up\n"
    "             to 4 KiB, then freed and started again; 1 in 64 steps shrinks one\n"
    "  grow       one buffer grown by realloc from 1 MiB to 256 MiB in 1 MiB steps,\n"
    "             each new MiB written (OPS: the steps)\n"
    "  replace    one buffer replaced by a copy 1 MiB larger, from 1 MiB to 64 MiB\n"
    "             (OPS: the steps)\n"
    "  prodcons   blocks of 16..128 bytes allocated in one thread and freed in another\n"
    "  -n OPS     malloc/free pairs to run (default: about 0.1 s under glibc)\n"
    "  -v         count the free blocks each allocation's search reads, and the size\n"
    "             index nodes it steps through (MyMalloc build only)\n";

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

// The producer-consumer workload: a ring of blocks from one thread to the
// other, each side yielding while the ring is full or empty.
constexpr unsigned kRing = 1024;  // a power of two
struct Ring {
  void *slot[kRing];
  alignas(64) unsigned long long head;  // written by the producer
  alignas(64) unsigned long long tail;  // written by the consumer
  long long blocks;
};
Ring ring;

void *consumer(void *) {
  for (long long i = 0; i < ring.blocks; i++) {
    while (__atomic_load_n(&ring.head, __ATOMIC_ACQUIRE) == ring.tail) sched_yield();
    free(ring.slot[ring.tail % kRing]);
    __atomic_store_n(&ring.tail, ring.tail + 1, __ATOMIC_RELEASE);
  }
  return nullptr;
}

long long produce(long long blocks) {
  ring.blocks = blocks;
  pthread_t thread;
  startThread(&thread, consumer, nullptr);
  for (long long i = 0; i < blocks; i++) {
    while (ring.head - __atomic_load_n(&ring.tail, __ATOMIC_ACQUIRE) == kRing) sched_yield();
    ring.slot[ring.head % kRing] = mustMalloc(lifoSizes.size[i & (kSizeTable - 1)]);
    __atomic_store_n(&ring.head, ring.head + 1, __ATOMIC_RELEASE);
  }
  pthread_join(thread, nullptr);
  return blocks;
}

struct Result {
  long long pairs;
  long long calls;  // malloc, free and realloc calls: 2 * pairs unless the workload says
  double seconds;
  SearchCost cost;
};

Result run(const char *workload, int param, long long pairs) {
  Result res{0, 0, 0, {0, 0, 0, 0}};
  double start;
  if (strcmp(workload, "carve") == 0) {
    if (pairs == 0) pairs = 1500000;
    carveRound();  // warm-up: the heap takes its working size
    start = startClock();
    while (res.pairs < pairs) res.pairs += carveRound();
  } else if (strcmp(workload, "lifo") == 0) {
    if (pairs == 0) pairs = 4000000;
    fillLifoSizes(&lifoSizes, 1);
    lifo(slots, param, param, &lifoSizes);  // warm-up round
    start = startClock();
    res.pairs = lifo(slots, param, pairs, &lifoSizes);
  } else if (strcmp(workload, "segments") == 0) {
    if (pairs == 0) pairs = 32000;
    fillLifoSizes(&lifoSizes, 1);
    start = startClock();
    for (int live : kSegmentLive) res.pairs += lifoSegments(live, pairs);
    pthread_t thread;
    long long threadPairs = pairs;
    startThread(&thread, segmentThread, &threadPairs);
    pthread_join(thread, nullptr);
    res.pairs += threadPairs;
  } else if (strcmp(workload, "stress") == 0) {
    if (pairs == 0) pairs = 1000000;
    start = startClock();
    res.pairs = stress(pairs);
  } else if (strcmp(workload, "frag") == 0) {
    if (pairs == 0) pairs = 300000;
    Rng r{7};
    for (int j = 0; j < param; j++) slots[j] = mustMalloc(fragSize(&r));
    fragSteps(&r, param, param * 4);  // warm-up: let the heap fragment
    start = startClock();
    res.pairs = fragSteps(&r, param, pairs);
  } else if (strcmp(workload, "realloc") == 0) {
    if (pairs == 0) pairs = 1000000;
    Rng r{11};
    for (int j = 0; j < param; j++) slots[j] = mustMalloc(reallocSizes[j] = kReallocStart);
    reallocSteps(&r, param, param * 64);  // warm-up: the blocks reach all sizes
    start = startClock();
    res.calls = reallocSteps(&r, param, pairs);
    res.pairs = pairs;
  } else if (strcmp(workload, "grow") == 0 || strcmp(workload, "replace") == 0) {
    bool copy = workload[0] == 'r';
    if (pairs == 0) pairs = copy ? 63 : 255;
    start = startClock();
    res.calls = largeSteps(pairs, copy);
    res.pairs = pairs;
  } else if (strcmp(workload, "prodcons") == 0) {
    if (pairs == 0) pairs = 2000000;
    fillLifoSizes(&lifoSizes, 1);
    start = startClock();
    res.pairs = produce(pairs);
  } else {  // threads
    if (pairs == 0) pairs = 4000000;
    int go = 0;
    for (int t = 0; t < param; t++) {
      ThreadArg *a = &threadArgs[t];
      a->pairs = pairs / param;
      a->go = &go;
      fillLifoSizes(&a->sizes, static_cast<uint64_t>(t) + 1);
      startThread(&a->thread, threadMain, a);
    }
    start = startClock();
    __atomic_store_n(&go, 1, __ATOMIC_RELEASE);
    for (int t = 0; t < param; t++) {
      pthread_join(threadArgs[t].thread, nullptr);
      res.pairs += threadArgs[t].pairs / kThreadLive * kThreadLive;
    }
  }
  res.seconds = now() - start;
  if (res.calls == 0) res.calls = 2 * res.pairs;
  res.cost = searchCost();
  return res;
}

// Peak resident set of this program in KiB (VmHWM). Not ru_maxrss: Linux
// carries that across execve, so it would report the parent's peak. Read with
// plain system calls into a static buffer: nothing here may allocate.
long peakKib() {
  static char buf[4096];
  int fd = open("/proc/self/status", O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return -1;
  buf[n] = '\0';
  const char *hwm = strstr(buf, "VmHWM:");
  return hwm != nullptr ? strtol(hwm + 6, nullptr, 10) : -1;
}

[[noreturn]] void usage() {
  fputs(kUsage, stderr);
  exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) usage();
  const char *workload = argv[1];
  int param = 0;
  int next = 2;
  bool takesParam = strcmp(workload, "lifo") == 0 || strcmp(workload, "threads") == 0 ||
                    strcmp(workload, "frag") == 0 || strcmp(workload, "realloc") == 0;
  static const char *const kPlain[] = {"carve", "stress", "segments", "grow", "replace", "prodcons"};
  bool plain = false;
  for (const char *name : kPlain) plain = plain || strcmp(workload, name) == 0;
  if (!takesParam && !plain) usage();
  if (takesParam) {
    if (argc < 3) usage();
    param = atoi(argv[2]);
    int limit = strcmp(workload, "threads") == 0 ? kMaxThreads : kMaxLive;
    if (param < 1 || param > limit) usage();
    next = 3;
  }
  long long pairs = 0;
  bool count = false;
  for (int i = next; i < argc; i++) {
    if (strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      pairs = atoll(argv[++i]);
      if (pairs < 1) usage();
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
  if (count && strcmp(workload, "segments") == 0) usage();

  Result res = run(workload, param, pairs);

  long peak = peakKib();
  printf("result workload=%s param=%d pairs=%lld ns_per_op=%.3f peak_kb=%ld", workload, param,
         res.pairs, res.seconds * 1e9 / static_cast<double>(res.calls), peak);
  if (count)
    printf(" visits_per_alloc=%.3f index_steps_per_alloc=%.3f index_kb=%zu", res.cost.visits,
           res.cost.indexSteps, (res.cost.indexBytes + 1023) / 1024);
  if (strcmp(workload, "segments") == 0) {
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
