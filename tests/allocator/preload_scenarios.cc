// The preload library's own behaviour, with its code compiled in so that the
// heap can be walked: realloc in place, mapped large blocks, glibc's lenient
// alignments, and a thread's cache left to the next thread when it ends. Runs with
// the cache on and with MYMALLOC_CACHE=0; blocks above the cache's 2 KiB reach
// the heap either way. Usage: alloc_preload_scenarios_preload
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "MyMalloc.h"
#include "MyMallocLayout.h"
#include "check.h"
#include "heap_check.h"

using namespace mymalloc;

namespace {

constexpr size_t kMiB = 1 << 20;

void fill(void *p, size_t n, unsigned char seed) {
  auto *b = static_cast<unsigned char *>(p);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>(seed + i * 7);
}

void expectFilled(const void *p, size_t n, unsigned char seed) {
  auto *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; i++)
    if (b[i] != static_cast<unsigned char>(seed + i * 7))
      checkFailed(__FILE__, __LINE__, "bytes lost in realloc");
}

const BlockHeader *rightOf(const void *payload) {
  const BlockHeader *h = headerOf(payload);
  return reinterpret_cast<const BlockHeader *>(reinterpret_cast<const char *>(h) + sizeOf(h));
}
bool isFree(const BlockHeader *b) { return (b->_blockSize & kAllocatedBit) == 0; }

// A block whose right neighbour is the chunk's end must move to grow; one
// with a free right neighbour splits it or takes it whole; one that shrinks
// keeps its place and gives back a tail of 32 bytes or more.
void reallocInPlace() {
  char *top = static_cast<char *>(malloc(3000));  // the first block: the chunk's top
  char *a = static_cast<char *>(malloc(3000));    // carved just below it
  char *b = static_cast<char *>(malloc(3000));    // and just below a
  CHECK(top != nullptr && rightOf(top)->_blockSize == kAllocatedBit);
  CHECK(rightOf(b) == headerOf(a) && rightOf(a) == headerOf(top));
  fill(top, 3000, 1);
  fill(b, 3000, 2);
  free(a);
  char *grown = static_cast<char *>(realloc(b, 4500));  // splits a's block
  CHECK(grown == b && malloc_usable_size(b) >= 4500 && isFree(rightOf(b)));
  expectFilled(b, 3000, 2);
  checkHeap();

  size_t whole = sizeOf(headerOf(b)) + sizeOf(rightOf(b));
  grown = static_cast<char *>(realloc(b, whole - kHeaderSize - 16));  // leaves 16: taken whole
  CHECK(grown == b && malloc_usable_size(b) == whole - kHeaderSize);
  expectFilled(b, 3000, 2);
  checkHeap();

  char *shrunk = static_cast<char *>(realloc(b, 2500));
  CHECK(shrunk == b && malloc_usable_size(b) == 2512 && isFree(rightOf(b)));
  expectFilled(b, 2500, 2);
  shrunk = static_cast<char *>(realloc(b, 2490));  // a 16-byte tail stays with the block
  CHECK(shrunk == b && malloc_usable_size(b) == 2512);
  expectFilled(b, 2490, 2);
  checkHeap();
  free(b);

  char *moved = static_cast<char *>(realloc(top, 3100));  // nothing to take at the chunk's end
  CHECK(moved != nullptr && moved != top);
  expectFilled(moved, 3000, 1);
  free(moved);
  checkHeap();
}

long statusKib(const char *field) {
  static char text[4096];
  int fd = open("/proc/self/status", O_RDONLY);
  CHECK(fd >= 0);
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  CHECK(n > 0);
  text[n] = '\0';
  const char *at = strstr(text, field);
  CHECK(at != nullptr);
  return strtol(at + strlen(field), nullptr, 10);
}

// A buffer grown by realloc to 128 MiB in 1 MiB steps is remapped, not
// copied into ever new blocks; one replaced by larger copies gives each old
// copy back. Either way memory stays near the buffer's size.
void largeBlocks() {
  size_t n = kMiB;
  auto *p = static_cast<unsigned char *>(malloc(n));
  CHECK(p != nullptr && reinterpret_cast<uintptr_t>(p) % kAlignment == 0);
  memset(p, 0x33, n);
  for (; n < 128 * kMiB; n += kMiB) {
    p = static_cast<unsigned char *>(realloc(p, n + kMiB));
    CHECK(p != nullptr && malloc_usable_size(p) >= n + kMiB);
    memset(p + n, 0x33, kMiB);
  }
  for (size_t i = 0; i < n; i += 4096) CHECK_EQ(p[i], 0x33);
  CHECK(statusKib("VmHWM:") < 192 * 1024);
  p = static_cast<unsigned char *>(realloc(p, 100));  // back into the heap
  CHECK(p != nullptr);
  CHECK_EQ(p[99], 0x33);
  free(p);

  void *copy = calloc(1, kMiB);
  for (size_t size = kMiB; size < 32 * kMiB; size += kMiB) {
    void *next = malloc(size + kMiB);
    CHECK(next != nullptr);
    memcpy(next, copy, size);
    memset(static_cast<char *>(next) + size, 0, kMiB);
    free(copy);
    copy = next;
  }
  free(copy);
  CHECK(statusKib("VmRSS:") < 48 * 1024);  // the mappings went back to the system
  checkHeap();
}

// Page faults so far: a page that a block takes anew faults once when first written.
long minorFaults() {
  rusage u;
  CHECK_EQ(getrusage(RUSAGE_SELF, &u), 0);
  return u.ru_minflt;
}

// A freed mapping waits for reuse while the mapped blocks in use are eight
// times its size or more: a new block of its size or less takes its pages
// (its tail beyond given back), one larger takes them and grows, and
// calloc's block reads zero though the old one was written all over. With
// none in use, freed mappings go back to the system.
void mappingsReused() {
  constexpr size_t kHeld = 96 * kMiB, kBuffer = 8 * kMiB;
  void *held = malloc(kHeld);  // in use, though never touched: it takes no memory
  CHECK(held != nullptr);
  auto *p = static_cast<unsigned char *>(malloc(kBuffer));
  CHECK(p != nullptr);
  memset(p, 0xA5, kBuffer);
  free(p);
  long faults = minorFaults();
  auto *q = static_cast<unsigned char *>(calloc(1, kBuffer - kMiB));
  CHECK(q != nullptr);
  for (size_t i = 0; i < kBuffer - kMiB; i++) CHECK_EQ(q[i], 0);
  memset(q, 0x5A, kBuffer - kMiB);
  CHECK(minorFaults() - faults < 64);  // written without faulting its pages in anew
  free(q);
  faults = minorFaults();
  auto *r = static_cast<unsigned char *>(malloc(kBuffer));  // larger: the old pages grown
  CHECK(r != nullptr);
  memset(r, 0x3C, kBuffer);
  CHECK(minorFaults() - faults < static_cast<long>(kMiB / 4096) + 64);  // the new MiB only
  free(r);
  free(held);
  // Nothing mapped in use, so nothing kept: 64 MiB freed leaves no more than
  // a few pages behind.
  long before = statusKib("VmRSS:");
  for (int i = 0; i < 8; i++) {
    p = static_cast<unsigned char *>(malloc(kBuffer));
    CHECK(p != nullptr);
    memset(p, 1, kBuffer);
    free(p);
  }
  CHECK(statusKib("VmRSS:") < before + 1024);
  checkHeap();
}

// The cache's bound: of 32 buffers of 4 MiB in use, 16 are freed at once;
// the cache keeps what an eighth of the 64 MiB still in use allows.
void mappingCacheBound() {
  constexpr int kBuffers = 32;
  constexpr size_t kBuffer = 4 * kMiB;
  void *buffers[kBuffers];
  long before = statusKib("VmRSS:");
  for (void *&b : buffers) {
    b = malloc(kBuffer);
    CHECK(b != nullptr);
    memset(b, 7, kBuffer);
  }
  for (int i = 0; i < kBuffers / 2; i++) free(buffers[i]);
  long kept = statusKib("VmRSS:") - before - (kBuffers / 2) * kBuffer / 1024;
  CHECK(kept <= static_cast<long>(kBuffers / 2 * kBuffer / 8 / 1024) + 1024);
  CHECK(kept >= static_cast<long>(kBuffer / 1024));  // but something, to reuse
  for (int i = kBuffers / 2; i < kBuffers; i++) free(buffers[i]);
  CHECK(statusKib("VmRSS:") < before + 1024);  // none in use: none kept
}

void runThread(void *(*body)(void *)) {
  pthread_t id;
  CHECK_EQ(pthread_create(&id, nullptr, body, nullptr), 0);
  CHECK_EQ(pthread_join(id, nullptr), 0);
}

// Blocks above the cache's 2 KiB reach the heap, and a large free block that
// their frees leave gives its pages back to the system; its header, links
// and index word stay, so the heap walks whole and serves them again. In
// the main thread's heap, and then in a thread's own arena, which counts its
// own bytes freed.
void *freePagesReleased(void * = nullptr) {
  constexpr int kBlocks = 1400;
  constexpr size_t kBlock = 3000;
  static void *blocks[kBlocks];
  for (int round = 0; round < 2; round++) {
    long before = statusKib("VmRSS:");
    for (void *&b : blocks) {
      b = malloc(kBlock);
      CHECK(b != nullptr);
      memset(b, 0x77, kBlock);
    }
    long filled = statusKib("VmRSS:");
    CHECK(filled - before > 0);
    for (void *b : blocks) free(b);
    checkHeap();
    // Of the 4 MiB written, at least three quarters have gone back.
    CHECK(filled - statusKib("VmRSS:") >= static_cast<long>(kBlocks * kBlock / 1024 * 3 / 4));
  }
  return nullptr;
}

// glibc's memalign and aligned_alloc round any alignment up to a power of
// two; posix_memalign keeps its stricter contract.
void alignments() {
  size_t odd[] = {24, 48};  // not constants: the compiler would warn of them
  asm("" : : "r"(odd) : "memory");
  void *p = aligned_alloc(odd[0], 100);
  CHECK(p != nullptr && reinterpret_cast<uintptr_t>(p) % 32 == 0);
  void *q = memalign(odd[1], 10);
  CHECK(q != nullptr && reinterpret_cast<uintptr_t>(q) % 64 == 0);
  void *r = memalign(kMiB, 10);  // mapped, for its alignment
  CHECK(r != nullptr && reinterpret_cast<uintptr_t>(r) % kMiB == 0);
  void *s = nullptr;
  CHECK_EQ(posix_memalign(&s, 24, 8), EINVAL);
  free(p);
  free(q);
  free(r);
  checkHeap();
}

constexpr int kThreadBlocks = 20000;

// Fills its cache to the full and more, then ends with it full, the block
// of its last free at newest.
void *newest;
void *fillCache(void *) {
  static void *held[kThreadBlocks];
  for (int i = 0; i < kThreadBlocks; i++) {
    held[i] = malloc(16 + 16 * (i % 8));
    CHECK(held[i] != nullptr);
  }
  for (int i = 0; i < kThreadBlocks; i++) free(held[i]);
  for (int i = 0; i < 100; i++) free(newest = malloc(24));
  return nullptr;
}

void *nothing(void *) { return nullptr; }

void *taken;
size_t inUseBefore;  // blocks in use before threadEnds' threads
void *takeOne(void *) {
  taken = malloc(24);
  free(taken);
  return nullptr;
}

// Stays, with a cache, until the main thread lets it end.
pthread_barrier_t stayed;
void *stay(void *) {
  free(malloc(1));
  pthread_barrier_wait(&stayed);
  return nullptr;
}

// Runs steps while another thread with a cache (stay) runs, then lets that
// one end.
void besideAnother(void (*steps)()) {
  CHECK_EQ(pthread_barrier_init(&stayed, nullptr, 2), 0);
  pthread_t id;
  CHECK_EQ(pthread_create(&id, nullptr, stay, nullptr), 0);
  steps();
  pthread_barrier_wait(&stayed);
  CHECK_EQ(pthread_join(id, nullptr), 0);
  CHECK_EQ(pthread_barrier_destroy(&stayed), 0);
}

void fillThenTake() {
  runThread(fillCache);
  runThread(takeOne);
  if (getenv("MYMALLOC_CACHE") != nullptr) return;  // the cache is off
  CHECK(taken == newest);
  HeapCensus left = checkHeap();
  CHECK(left.blocks - left.freeBlocks > inUseBefore);
}

// A thread that ends leaves its cache, full, in its arena, where the next
// thread set up there takes what the other freed last; the main thread,
// once alone, gives back every cache left at its next allocation from the
// heap; no block is lost on the way, and the calls are counted.
void threadEnds() {
  besideAnother([] { runThread(nothing); });  // the threads library keeps blocks for both
  free(malloc(4096));
  HeapCensus before = checkHeap();
  inUseBefore = before.blocks - before.freeBlocks;
  int mallocs = _mallocCalls, frees = _freeCalls;
  besideAnother(fillThenTake);
  free(malloc(4096));  // beyond the cache: the main thread, alone, gives back what was left
  HeapCensus after = checkHeap();
  CHECK_EQ(after.blocks - after.freeBlocks, inUseBefore);
  // The threads library's own calls in starting and ending a thread (free(NULL)
  // among them) come on top; the main thread's own are counted at exit.
  constexpr int kCalls = kThreadBlocks + 102, kLibrary = 64;
  CHECK(_mallocCalls - mallocs >= kCalls && _mallocCalls - mallocs <= kCalls + kLibrary);
  CHECK(_freeCalls - frees >= kCalls && _freeCalls - frees <= kCalls + kLibrary);
}

// Blocks freed by a thread of another arena go back to their own arena's
// list, counted by the heap walk as returned, and the arena's next
// allocation merges them. The owner and the freer live at once, so each has
// an arena of its own; barriers, not timing, order the steps. The blocks are
// beyond the cache, which a thread that ends leaves to its arena's next.
constexpr int kHandedOver = 200;
constexpr size_t kHandedOverSize = 4000;
void *handedOver[kHandedOver];
pthread_barrier_t step, counted;  // the steps of the three threads; the last step of two

void *owner(void *) {
  free(malloc(1));                // takes an arena
  pthread_barrier_wait(&step);    // 1: both threads have theirs
  for (void *&p : handedOver) {
    p = malloc(kHandedOverSize);
    CHECK(p != nullptr);
    memset(p, 0x5a, kHandedOverSize);
  }
  pthread_barrier_wait(&step);    // 2: the blocks are the freer's
  pthread_barrier_wait(&counted);  // the freer has ended, and the blocks are counted
  free(malloc(4096));             // beyond the cache: merges what was returned
  return nullptr;
}

void *freer(void *) {
  free(malloc(1));
  pthread_barrier_wait(&step);  // 1
  pthread_barrier_wait(&step);  // 2
  for (void *p : handedOver) free(p);  // each back to its arena at once
  return nullptr;
}

void *meet(void *) {
  pthread_barrier_wait(&step);
  return nullptr;
}

void returnedBlocks() {
  // Two threads at once first: the threads library keeps blocks for both.
  CHECK_EQ(pthread_barrier_init(&step, nullptr, 3), 0);
  pthread_t a, b;
  CHECK_EQ(pthread_create(&a, nullptr, meet, nullptr), 0);
  CHECK_EQ(pthread_create(&b, nullptr, meet, nullptr), 0);
  pthread_barrier_wait(&step);
  CHECK_EQ(pthread_join(a, nullptr), 0);
  CHECK_EQ(pthread_join(b, nullptr), 0);
  free(malloc(4096));  // beyond the cache: the main thread, alone, gives back what was left
  HeapCensus before = checkHeap();
  CHECK_EQ(pthread_barrier_init(&counted, nullptr, 2), 0);
  pthread_t ownerId, freerId;
  CHECK_EQ(pthread_create(&ownerId, nullptr, owner, nullptr), 0);
  CHECK_EQ(pthread_create(&freerId, nullptr, freer, nullptr), 0);
  pthread_barrier_wait(&step);  // 1
  pthread_barrier_wait(&step);  // 2
  CHECK_EQ(pthread_join(freerId, nullptr), 0);
  HeapCensus freed = checkHeap();
  CHECK(freed.returnedBlocks >= before.returnedBlocks + kHandedOver);
  pthread_barrier_wait(&counted);
  CHECK_EQ(pthread_join(ownerId, nullptr), 0);
  free(malloc(4096));  // as before
  HeapCensus after = checkHeap();
  CHECK(after.returnedBlocks + kHandedOver <= freed.returnedBlocks);
  CHECK_EQ(after.blocks - after.freeBlocks - after.returnedBlocks,
           before.blocks - before.freeBlocks - before.returnedBlocks);
}

// One thread frees the blocks of four others, which live at once and so
// hold arenas of their own, taking them from each in turn: nearly every free
// lies outside the run of chunks the free before it was checked in, and is
// checked in its own. Every block goes back to its own arena (without a
// cache, straight from the freer; a block sent to the wrong one breaks the
// walk), and what the freer allocates again from its cache, which then holds
// blocks of four arenas' chunks, is whole.
constexpr int kOwners = 4, kOwned = 300;
void *owned[kOwners][kOwned];
pthread_barrier_t owning;  // the owners and the main thread

void *meetOwners(void *) {
  pthread_barrier_wait(&owning);
  return nullptr;
}

size_t ownedSize(int i) { return 24 + 8 * static_cast<size_t>(i % 16); }

void *ownBlocks(void *v) {
  auto *mine = static_cast<void **>(v);
  free(malloc(1));  // takes an arena
  for (int i = 0; i < kOwned; i++) {
    mine[i] = malloc(ownedSize(i));
    CHECK(mine[i] != nullptr);
    fill(mine[i], ownedSize(i), static_cast<unsigned char>(i));
  }
  pthread_barrier_wait(&owning);  // 1: every owner holds its blocks
  pthread_barrier_wait(&owning);  // 2: the freer has ended
  free(malloc(4096));             // beyond the cache: merges what was returned
  return nullptr;
}

void *freeAcross(void *) {
  for (int i = 0; i < kOwned; i++)
    for (auto &blocks : owned) {
      expectFilled(blocks[i], ownedSize(i), static_cast<unsigned char>(i));
      free(blocks[i]);
    }
  static void *again[kOwners * kOwned];
  for (int i = 0; i < kOwners * kOwned; i++) {
    again[i] = malloc(ownedSize(i / kOwners));
    CHECK(again[i] != nullptr);
    fill(again[i], ownedSize(i / kOwners), static_cast<unsigned char>(i));
  }
  for (int i = 0; i < kOwners * kOwned; i++) {
    expectFilled(again[i], ownedSize(i / kOwners), static_cast<unsigned char>(i));
    free(again[i]);
  }
  return nullptr;
}

void freedAcrossArenas() {
  // As many threads at once first (the owners and the freer): the threads
  // library keeps blocks for them.
  CHECK_EQ(pthread_barrier_init(&owning, nullptr, kOwners + 2), 0);
  pthread_t ids[kOwners + 1];
  for (pthread_t &id : ids) CHECK_EQ(pthread_create(&id, nullptr, meetOwners, nullptr), 0);
  pthread_barrier_wait(&owning);
  for (pthread_t id : ids) CHECK_EQ(pthread_join(id, nullptr), 0);
  CHECK_EQ(pthread_barrier_destroy(&owning), 0);
  CHECK_EQ(pthread_barrier_init(&owning, nullptr, kOwners + 1), 0);
  free(malloc(4096));  // as after
  HeapCensus before = checkHeap();
  for (int t = 0; t < kOwners; t++)
    CHECK_EQ(pthread_create(&ids[t], nullptr, ownBlocks, owned[t]), 0);
  pthread_barrier_wait(&owning);  // 1
  runThread(freeAcross);
  pthread_barrier_wait(&owning);  // 2
  for (int t = 0; t < kOwners; t++) CHECK_EQ(pthread_join(ids[t], nullptr), 0);
  free(malloc(4096));  // beyond the cache: the main thread, alone, gives back what was left
  HeapCensus after = checkHeap();
  CHECK_EQ(after.blocks - after.freeBlocks - after.returnedBlocks,
           before.blocks - before.freeBlocks - before.returnedBlocks);
}

// A break that cannot move (a mapping just above it, or a tool that refuses
// sbrk): the first heap goes on growing, by mapped chunks.
void breakBlocked() {
  uintptr_t top = (reinterpret_cast<uintptr_t>(sbrk(0)) + 4095) & ~uintptr_t{4095};
  void *wall = mmap(reinterpret_cast<void *>(top), 4096, PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  CHECK(wall == reinterpret_cast<void *>(top));
  CHECK(sbrk(static_cast<intptr_t>(kChunkSize)) == reinterpret_cast<void *>(-1));
  constexpr int kMost = 12000;
  constexpr size_t kBlock = 1000;
  static void *blocks[kMost];
  size_t heapBefore = _heapSize;
  int n = 0;
  while (_heapSize < heapBefore + 2 * kChunkSize) {
    CHECK(n < kMost);
    blocks[n] = malloc(kBlock);
    CHECK(blocks[n] != nullptr);
    fill(blocks[n], kBlock, static_cast<unsigned char>(n));
    n++;
  }
  checkHeap();
  for (int i = 0; i < n; i++) {
    expectFilled(blocks[i], kBlock, static_cast<unsigned char>(i));
    free(blocks[i]);
  }
  checkHeap();
  CHECK_EQ(munmap(wall, 4096), 0);
}

// A new arena's chunks lie end to end although the program maps memory of
// its own between them (as a thread's stack or a large block comes): its
// blocks leave no gap of a chunk or more, so that the run of chunks the
// free's quick check spans holds them all. The first thread's arena is new
// (the main thread holds the first).
void *chunksEndToEnd(void *) {
  constexpr int kBlocks = 100;  // over three chunks
  constexpr size_t kBlock = 64 * 1024;
  static void *blocks[kBlocks], *others[kBlocks];
  for (int i = 0; i < kBlocks; i++) {
    others[i] =
        mmap(nullptr, kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    CHECK(others[i] != MAP_FAILED);
    blocks[i] = malloc(kBlock);
    CHECK(blocks[i] != nullptr);
  }
  qsort(blocks, kBlocks, sizeof blocks[0], [](const void *a, const void *b) {
    auto x = *static_cast<void *const *>(a), y = *static_cast<void *const *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  });
  for (int i = 1; i < kBlocks; i++)
    CHECK(static_cast<char *>(blocks[i]) - static_cast<char *>(blocks[i - 1]) <
          static_cast<ptrdiff_t>(kChunkSize));
  for (int i = 0; i < kBlocks; i++) {
    free(blocks[i]);
    CHECK_EQ(munmap(others[i], kChunkSize), 0);
  }
  return nullptr;
}

// An arena that has filled its reservation under an address-space limit
// that refuses it the next (ulimit -v) goes on with chunks mapped one at a
// time wherever the system puts them, and they serve as before. In a child,
// whose limit, set once the thread's arena has its first reservation (16
// MiB), leaves room for a few chunks and the table's leaf, not for a second.
void *growUnderLimit(void *) {
  constexpr int kBlocks = 288;  // 18 MiB: beyond a reservation of 16
  constexpr size_t kBlock = 64 * 1024;
  static void *blocks[kBlocks];
  free(malloc(kBlock));  // the thread's arena, and its reservation
  rlim_t room = static_cast<rlim_t>(statusKib("VmSize:")) * 1024 + 16 * kMiB;
  rlimit limit{room, room};
  CHECK_EQ(setrlimit(RLIMIT_AS, &limit), 0);
  for (int i = 0; i < kBlocks; i++) {
    blocks[i] = malloc(kBlock);
    CHECK(blocks[i] != nullptr);
    fill(blocks[i], kBlock, static_cast<unsigned char>(i));
  }
  for (int i = 0; i < kBlocks; i++) {
    expectFilled(blocks[i], kBlock, static_cast<unsigned char>(i));
    free(blocks[i]);
  }
  return nullptr;
}

void reservationRefused() {
  pid_t child = fork();
  CHECK(child >= 0);
  if (child == 0) {
    runThread(growUnderLimit);
    checkHeap();
    _exit(0);
  }
  int status;
  CHECK_EQ(waitpid(child, &status, 0), child);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

int main() {
  reallocInPlace();
  runThread(chunksEndToEnd);
  reservationRefused();
  largeBlocks();
  mappingsReused();
  mappingCacheBound();
  freePagesReleased();
  runThread(freePagesReleased);
  alignments();
  threadEnds();
  returnedBlocks();
  freedAcrossArenas();
  breakBlocked();
  _exit(0);
}
