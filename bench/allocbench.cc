// allocbench: runs one allocator workload, times it and prints one result line.
// Built twice from this file: allocbench-mymalloc with MyMalloc compiled in, and
// allocbench with libc's malloc, which scripts/bench also runs with other allocators
// preloaded. C-style on purpose: the MyMalloc build links no C++ runtime.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#ifdef ALLOCBENCH_MYMALLOC
#include "MyMallocLayout.h"
#endif

// Callgrind dumps its counts each time this is entered (--dump-before), so
// the segments workload gets one count per segment.
extern "C" [[gnu::noinline]] void allocbench_mark() { __asm__ volatile(""); }

namespace {

constexpr const char kUsage[] =
    "Usage: allocbench carve|lifo LIVE|frag|threads COUNT|segments [-n OPS] [-v]\n"
    "  carve      carve small blocks, free every other one, allocate again\n"
    "  lifo LIVE  16..128-byte blocks freed last-in first-out, LIVE of them live\n"
    "  frag       1024 slots; free a random one, allocate 16..32768 bytes (p ~ 1/s^2)\n"
    "  threads N  lifo 100 in each of N threads\n"
    "  segments   lifo 25, 100, 400, 1600 in turn, then lifo 100 in a second thread:\n"
    "             each a warm-up round, then OPS and 2*OPS pairs, allocbench_mark()\n"
    "             called before, between and after (for valgrind --tool=callgrind\n"
    "             --dump-before=allocbench_mark)\n"
    "  -n OPS     malloc/free pairs to run (default: about 0.1 s under glibc)\n"
    "  -v         count the free blocks each allocation visits (MyMalloc build only)\n";

constexpr int kCarveBlocks = 1 << 14;  // blocks carved per carve round
constexpr int kMaxLive = 1 << 14;      // largest LIVE for lifo
constexpr int kFragSlots = 1024;
constexpr double kFragMin = 16, kFragMax = 32768;
constexpr int kThreadLive = 100;  // live blocks per thread in the threads workload
constexpr int kMaxThreads = 64;
constexpr int kSizeTable = 1024;  // lifo sizes, a power of two
constexpr int kSegmentLive[] = {25, 100, 400, 1600};

void *slots[kMaxLive > kCarveBlocks ? kMaxLive : kCarveBlocks];

// xorshift64*: the same sequence for every allocator.
struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 2685821657736338717ULL;
  }
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
};

// Free-list visits, counted from outside the allocator: before each malloc the
// benchmark walks the list as the first-fit search will.
long long visits, searches;

template <bool Count>
inline void *benchMalloc(size_t n) {
#ifdef ALLOCBENCH_MYMALLOC
  if (Count) {
    using namespace mymalloc;
    size_t want = (n + kHeaderSize + kAlignment - 1) & ~(kAlignment - 1);
    if (want < kMinBlockSize) want = kMinBlockSize;
    long long seen = 0;
    BlockHeader *b = _initialized ? _freeListSentinel._nextFree : &_freeListSentinel;
    for (; b != &_freeListSentinel; b = b->_nextFree) {
      seen++;
      if ((b->_blockSize & ~kAllocatedBit) >= want) break;
    }
    if (b == &_freeListSentinel) seen++;  // the heap grows; the fresh block fits
    visits += seen;
    searches++;
  }
#endif
  return malloc(n);
}

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Starts the measured part: visits before it are not counted.
double startClock() {
  visits = searches = 0;
  return now();
}

[[noreturn]] void outOfMemory() {
  fprintf(stderr, "allocbench: malloc failed\n");
  exit(1);
}

template <bool Count>
void *mustMalloc(size_t n) {
  void *p = benchMalloc<Count>(n);
  if (p == nullptr) outOfMemory();
  return p;
}

size_t carveSize(int i) { return 8 + 8 * static_cast<size_t>(i % 8); }

// One round: carve kCarveBlocks blocks of 8..64 bytes, free every other one,
// allocate the freed slots again with the next size of the cycle, free all.
// Returns the malloc/free pairs run: 1.5 per block.
template <bool Count>
long long carveRound() {
  for (int i = 0; i < kCarveBlocks; i++) slots[i] = mustMalloc<Count>(carveSize(i));
  for (int i = 1; i < kCarveBlocks; i += 2) free(slots[i]);
  for (int i = 1; i < kCarveBlocks; i += 2) slots[i] = mustMalloc<Count>(carveSize(i + 1));
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
template <bool Count>
long long lifo(void **p, int live, long long pairs, const LifoSizes *t) {
  long long rounds = pairs / live;
  for (long long r = 0; r < rounds; r++) {
    for (int i = 0; i < live; i++) p[i] = mustMalloc<Count>(t->size[(r + i) & (kSizeTable - 1)]);
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
template <bool Count>
long long fragSteps(Rng *r, long long steps) {
  for (long long s = 0; s < steps; s++) {
    int j = static_cast<int>(r->next() % kFragSlots);
    free(slots[j]);
    slots[j] = mustMalloc<Count>(fragSize(r));
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
  lifo<false>(a->p, kThreadLive, a->pairs, &a->sizes);
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
  lifo<false>(slots, live, live, &lifoSizes);
  allocbench_mark();
  long long run = lifo<false>(slots, live, pairs, &lifoSizes);
  allocbench_mark();
  run += lifo<false>(slots, live, 2 * pairs, &lifoSizes);
  allocbench_mark();
  return run;
}

// lifoSegments(kThreadLive) in a second thread: the allocators' threaded path.
void *segmentThread(void *v) {
  long long *pairs = static_cast<long long *>(v);
  *pairs = lifoSegments(kThreadLive, *pairs);
  return nullptr;
}

struct Result {
  long long pairs;
  double seconds;
};

template <bool Count>
Result run(const char *workload, int param, long long pairs) {
  Result res{0, 0};
  double start;
  if (strcmp(workload, "carve") == 0) {
    if (pairs == 0) pairs = 1500000;
    carveRound<Count>();  // warm-up: the heap takes its working size
    start = startClock();
    while (res.pairs < pairs) res.pairs += carveRound<Count>();
  } else if (strcmp(workload, "lifo") == 0) {
    if (pairs == 0) pairs = 4000000;
    fillLifoSizes(&lifoSizes, 1);
    lifo<Count>(slots, param, param, &lifoSizes);  // warm-up round
    start = startClock();
    res.pairs = lifo<Count>(slots, param, pairs, &lifoSizes);
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
  } else if (strcmp(workload, "frag") == 0) {
    if (pairs == 0) pairs = 300000;
    Rng r{7};
    for (int j = 0; j < kFragSlots; j++) slots[j] = mustMalloc<Count>(fragSize(&r));
    fragSteps<Count>(&r, kFragSlots * 4);  // warm-up: let the heap fragment
    start = startClock();
    res.pairs = fragSteps<Count>(&r, pairs);
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
  bool takesParam = strcmp(workload, "lifo") == 0 || strcmp(workload, "threads") == 0;
  if (!takesParam && strcmp(workload, "carve") != 0 && strcmp(workload, "frag") != 0 &&
      strcmp(workload, "segments") != 0)
    usage();
  if (takesParam) {
    if (argc < 3) usage();
    param = atoi(argv[2]);
    int limit = strcmp(workload, "lifo") == 0 ? kMaxLive : kMaxThreads;
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
  if (count && (strcmp(workload, "threads") == 0 || strcmp(workload, "segments") == 0)) usage();

  Result res = count ? run<true>(workload, param, pairs) : run<false>(workload, param, pairs);

  long peak = peakKib();
  printf("result workload=%s param=%d pairs=%lld ns_per_op=%.3f peak_kb=%ld", workload, param,
         res.pairs, res.seconds * 1e9 / static_cast<double>(2 * res.pairs), peak);
  if (count) printf(" visits_per_alloc=%.3f", static_cast<double>(visits) / searches);
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
