// Exact-offset scenarios for the allocator. Each runs in a fresh process
// (alloc_scenarios NAME), since the heap is global and never reset.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
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

constexpr char kNoMemory[] = "CANNOT SATISFY MEMORY REQUEST. RETHINK YOUR CHOICES!\n";

size_t blockSizeOf(const void *payload) { return sizeOf(headerOf(payload)); }

void expectUnlocked() {
  CHECK_EQ(pthread_mutex_trylock(&mutex), 0);
  pthread_mutex_unlock(&mutex);
}

// Sends a descriptor's output into a memory file until the returned text is read.
struct Capture {
  int fd, saved, file;
};
Capture captureFd(int fd) {
  Capture c{fd, dup(fd), memfd_create("capture", 0)};
  CHECK(c.saved >= 0 && c.file >= 0);
  CHECK(dup2(c.file, fd) == fd);
  return c;
}
// Restores the descriptor and copies what was written into text (NUL-terminated).
void endCapture(const Capture &c, char *text, size_t size) {
  dup2(c.saved, c.fd);
  ssize_t n = pread(c.file, text, size - 1, 0);
  CHECK(n >= 0);
  text[n] = '\0';
  close(c.file);
  close(c.saved);
}

// Data size (brk and private writable mappings) the kernel counts against RLIMIT_DATA.
rlim_t dataSize() {
  char status[8192];
  int fd = open("/proc/self/status", 0);
  CHECK(fd >= 0);
  ssize_t n = read(fd, status, sizeof status - 1);
  close(fd);
  CHECK(n > 0);
  status[n] = '\0';
  const char *line = strstr(status, "VmData:");
  CHECK(line != nullptr);
  return static_cast<rlim_t>(strtoul(line + 7, nullptr, 10)) * 1024;
}

void limitData(rlim_t limit) {
  rlimit r;
  CHECK_EQ(getrlimit(RLIMIT_DATA, &r), 0);
  r.rlim_cur = limit;
  CHECK_EQ(setrlimit(RLIMIT_DATA, &r), 0);
}

void rounding() {
  void *p = malloc(1);
  CHECK_EQ(offsetOf(p), 2097104);
  CHECK_EQ(static_cast<char *>(p) - static_cast<char *>(_memStart), 2097120);
  CHECK_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0);
  EXPECT_FREE_LIST({16, 2097088});

  const struct {
    size_t request, block;
  } cases[] = {{2, 32}, {16, 32}, {17, 40}, {24, 40}, {25, 48}, {100, 120}, {1000, 1016}};
  for (const auto &c : cases) {
    void *q = malloc(c.request);
    CHECK_EQ(blockSizeOf(q), c.block);
    CHECK_EQ(offsetOf(q), 2097104 - static_cast<long>(c.block));
    free(q);  // merges back into the block below
    EXPECT_FREE_LIST({16, 2097088});
  }
  free(p);
  EXPECT_FREE_LIST({16, 2097120});
  CHECK_EQ(_mallocCalls, 8);
  CHECK_EQ(_freeCalls, 8);
}

void zeroFirst() {
  errno = 1234;
  CHECK(malloc(0) == nullptr);
  CHECK_EQ(errno, 1234);
  CHECK_EQ(_initialized, 1);  // the set-up ran all the same
  CHECK_EQ(_heapSize, kChunkSize);
  CHECK_EQ(_mallocCalls, 1);
  expectUnlocked();
  CHECK(calloc(0, 8) == nullptr);
  CHECK(calloc(8, 0) == nullptr);
  CHECK(realloc(nullptr, 0) == nullptr);
  CHECK_EQ(errno, 1234);
  CHECK_EQ(_callocCalls, 2);
  CHECK_EQ(_reallocCalls, 1);
  CHECK_EQ(_mallocCalls, 1);
  expectUnlocked();
  CHECK(malloc(8) != nullptr);
  EXPECT_FREE_LIST({16, 2097088});
}

void tooLargeFirst() {
  errno = 0;
  CHECK(malloc(kLargestRequest + 1) == nullptr);
  CHECK_EQ(errno, ENOMEM);
  CHECK_EQ(_initialized, 1);
  CHECK_EQ(_heapSize, kChunkSize);
  expectUnlocked();
  EXPECT_FREE_LIST({16, 2097120});
}

void limits() {
  void *p = malloc(kLargestRequest);  // block 2097104: the remainder of 16 goes with it
  CHECK(p != nullptr);
  CHECK_EQ(offsetOf(p), 16);
  CHECK_EQ(blockSizeOf(p), kFreshBlockSize);
  EXPECT_FREE_LIST_EMPTY();

  const size_t refused[] = {kLargestRequest + 1, SIZE_MAX, SIZE_MAX - 22, SIZE_MAX - 23, 150000000};
  for (size_t size : refused) {
    errno = 0;
    CHECK(malloc(size) == nullptr);
    CHECK_EQ(errno, ENOMEM);
    expectUnlocked();
  }
  CHECK_EQ(_heapSize, kChunkSize);  // no chunk for a refused request
  free(p);
  EXPECT_FREE_LIST({16, 2097120});
  CHECK(malloc(8) != nullptr);  // served normally after the refusals
}

// Free blocks that exceed the request by 24 go out whole; by 32 they are split.
void remainders() {
  void *a = malloc(48);  // block 64
  void *guard = malloc(8);
  CHECK_EQ(offsetOf(a), 2097072);
  CHECK_EQ(offsetOf(guard), 2097040);
  free(a);
  EXPECT_FREE_LIST({2097072, 64}, {16, 2097024});

  void *b = malloc(24);  // block 40: remainder 24
  CHECK(b == a);
  CHECK_EQ(blockSizeOf(b), 64);
  EXPECT_FREE_LIST({16, 2097024});
  free(b);

  void *c = malloc(16);  // block 32: remainder 32, split from the high end
  CHECK_EQ(offsetOf(c), 2097104);
  CHECK_EQ(blockSizeOf(c), 32);
  EXPECT_FREE_LIST({2097072, 32}, {16, 2097024});
}

// Of two blocks that fit, the one nearer the head wins even if it fits worse.
void firstFit() {
  void *x = malloc(200);  // block 216
  malloc(8);
  void *y = malloc(104);  // block 120
  malloc(8);
  free(y);
  free(x);
  constexpr size_t rest = kFreshBlockSize - 216 - 32 - 120 - 32;
  EXPECT_FREE_LIST({offsetOf(x), 216}, {offsetOf(y), 120}, {16, rest});
  void *z = malloc(104);
  CHECK_EQ(offsetOf(z), offsetOf(x) + 96);
  EXPECT_FREE_LIST({offsetOf(x), 96}, {offsetOf(y), 120}, {16, rest});
}

// A request larger than every free block adds exactly one chunk, whose
// remainder heads the list; blocks of touching chunks never merge.
void growth() {
  void *a = malloc(2000000);  // block 2000016, leaves 97104 at 16
  EXPECT_FREE_LIST({16, 97104});
  void *b = malloc(1000000);  // block 1000016 fits nowhere
  CHECK_EQ(_heapSize, 2 * kChunkSize);
  HeapCensus census = checkHeap();
  CHECK_EQ(census.chunks, 2);
  long second = offsetOf(b) - 1097104;  // b is carved from the new chunk's top
  CHECK_EQ(offsetOf(b) + 1000016, second + 2097120);
  EXPECT_FREE_LIST({second, 1097104}, {16, 97104});

  free(a);
  free(b);
  EXPECT_FREE_LIST({second, 2097120}, {16, 2097120});
  CHECK_EQ(checkHeap().freeBlocks, 2);

  void *c = malloc(kLargestRequest);  // the head block is the first fit
  CHECK_EQ(offsetOf(c), second);
  CHECK_EQ(_heapSize, 2 * kChunkSize);
}

// The three-block example: Y alone, X joins Y, Z joins both.
void coalesceExample() {
  void *x = malloc(8);
  void *y = malloc(8);
  void *z = malloc(8);
  CHECK_EQ(offsetOf(x), 2097104);
  CHECK_EQ(offsetOf(y), 2097072);
  CHECK_EQ(offsetOf(z), 2097040);
  EXPECT_FREE_LIST({16, 2097024});
  free(y);
  EXPECT_FREE_LIST({2097072, 32}, {16, 2097024});
  free(x);
  EXPECT_FREE_LIST({2097072, 64}, {16, 2097024});
  free(z);
  EXPECT_FREE_LIST({16, 2097120});
}

// The list position of each coalescing case, with other entries around it.
void coalescePositions() {
  void *blocks[8];  // A..H, each carved below the one before
  for (void *&b : blocks) b = malloc(8);
  enum { A, B, C, D, E, F, G, H };
  constexpr long top = 2097104, big = 2096864;
  auto at = [&](int i) { return offsetOf(blocks[i]); };
  CHECK_EQ(at(H), top - 7 * 32);

  free(blocks[B]);  // neighbours in use: to the head
  free(blocks[D]);
  free(blocks[G]);
  EXPECT_FREE_LIST({at(G), 32}, {at(D), 32}, {at(B), 32}, {16, big});
  free(blocks[A]);  // left free: B grows where it stands
  EXPECT_FREE_LIST({at(G), 32}, {at(D), 32}, {at(B), 64}, {16, big});
  free(blocks[E]);  // right free: E takes D's place
  EXPECT_FREE_LIST({at(G), 32}, {at(E), 64}, {at(B), 64}, {16, big});
  free(blocks[C]);  // both free: E's entry leaves, the sum takes B's place
  EXPECT_FREE_LIST({at(G), 32}, {at(E), 160}, {16, big});
  free(blocks[F]);
  EXPECT_FREE_LIST({at(G), 224}, {16, big});
  free(blocks[H]);
  EXPECT_FREE_LIST({16, 2097120});
}

// Fenceposts: the first and last blocks of a chunk never merge past them.
void chunkEdges() {
  void *p = malloc(kLargestRequest - 64);  // block 2097040, leaves 80 at 16
  void *first = malloc(48);                // block 64, remainder 16: all 80 go out
  CHECK_EQ(offsetOf(first), 16);
  CHECK_EQ(blockSizeOf(first), 80);
  EXPECT_FREE_LIST_EMPTY();
  free(first);
  EXPECT_FREE_LIST({16, 80});
  free(p);
  EXPECT_FREE_LIST({16, 2097120});

  void *last = malloc(8);
  void *below = malloc(8);
  free(last);  // its right neighbour is the fencepost
  EXPECT_FREE_LIST({2097104, 32}, {16, 2097056});
  free(below);
  EXPECT_FREE_LIST({16, 2097120});
}

void reallocSemantics() {
  unsigned char *p = static_cast<unsigned char *>(realloc(nullptr, 40));
  CHECK(p != nullptr);
  CHECK_EQ(_reallocCalls, 1);
  CHECK_EQ(_mallocCalls, 0);
  CHECK_EQ(blockSizeOf(p), 56);
  for (int i = 0; i < 40; i++) p[i] = static_cast<unsigned char>(i + 1);

  // Smaller: a new block with the first bytes; the old one is free again.
  unsigned char *q = static_cast<unsigned char *>(realloc(p, 10));
  CHECK(q != p);
  for (int i = 0; i < 10; i++) CHECK_EQ(q[i], i + 1);
  EXPECT_FREE_LIST({offsetOf(p), 56}, {16, kFreshBlockSize - 56 - 32});  // above q, alone
  unsigned char old[16];  // the whole payload of q's 32-byte block
  unsigned char *whole = q;
  asm("" : "+r"(whole));  // q's payload is 16 bytes, though only 10 were asked for
  memset(whole + 10, 0x5A, 6);
  memcpy(old, whole, sizeof old);

  // Larger: the whole old payload (16 bytes for a 32-byte block) comes along.
  unsigned char *r = static_cast<unsigned char *>(realloc(q, 1000));
  CHECK(r != q);
  CHECK_EQ(memcmp(r, old, sizeof old), 0);
  EXPECT_FREE_LIST({offsetOf(q), 88}, {16, kFreshBlockSize - 56 - 32 - 1016});  // q joined p

  // Refused: null, ENOMEM, the old block untouched and still allocated.
  errno = 0;
  CHECK(realloc(r, kLargestRequest + 1) == nullptr);
  CHECK_EQ(errno, ENOMEM);
  CHECK_EQ(memcmp(r, old, sizeof old), 0);
  CHECK((headerOf(r)->_blockSize & kAllocatedBit) != 0);
  expectUnlocked();

  void *fill = malloc(2000000);
  refuseSbrk(1);
  CHECK(realloc(r, 1000000) == nullptr);  // needs a chunk the system refuses
  CHECK_EQ(memcmp(r, old, sizeof old), 0);
  expectUnlocked();

  // Size 0: the block is freed and merged, the result is null.
  CHECK(realloc(r, 0) == nullptr);
  free(fill);
  EXPECT_FREE_LIST({16, 2097120});
  CHECK_EQ(_reallocCalls, 6);
  CHECK_EQ(_mallocCalls, 1);
  CHECK_EQ(_freeCalls, 1);
  CHECK_EQ(_callocCalls, 0);
}

void callocSemantics() {
  unsigned char *p = static_cast<unsigned char *>(malloc(64));  // block 80
  malloc(8);
  memset(p, 0xAB, 64);
  free(p);
  unsigned char *c = static_cast<unsigned char *>(calloc(8, 8));  // reuses p's block whole
  CHECK(c == p);
  for (int i = 0; i < 64; i++) CHECK_EQ(c[i], 0);

  const struct {
    size_t count, size;
  } overflowing[] = {{SIZE_MAX / 2 + 1, 2},
                     {size_t{1} << 32, size_t{1} << 32},
                     {1, SIZE_MAX},
                     {1, kLargestRequest + 1}};
  for (const auto &o : overflowing) {
    errno = 0;
    CHECK(calloc(o.count, o.size) == nullptr);
    CHECK_EQ(errno, ENOMEM);
    expectUnlocked();
  }
  CHECK_EQ(_heapSize, kChunkSize);
  CHECK_EQ(_callocCalls, 5);
  CHECK_EQ(_mallocCalls, 2);
  checkHeap();
}

void freeNull() {
  free(nullptr);  // counted, nothing else: not even the set-up
  CHECK_EQ(_freeCalls, 1);
  CHECK_EQ(_initialized, 0);
  CHECK_EQ(_heapSize, 0);
  expectUnlocked();
  void *p = malloc(8);
  free(nullptr);
  CHECK_EQ(_freeCalls, 2);
  EXPECT_FREE_LIST({16, 2097088});
  free(p);
}

// The system refuses to extend the heap (a data-size limit): the message,
// null, the heap as it was, and the next request that fits is served.
void refusedExtension() {
  void *a = malloc(2000000);
  HeapCensus before = checkHeap();
  limitData(dataSize() + 1024 * 1024);

  Capture err = captureFd(STDERR_FILENO);
  errno = 0;
  void *b = malloc(1000000);
  char text[256];
  endCapture(err, text, sizeof text);
  CHECK(b == nullptr);
  CHECK_EQ(strcmp(text, kNoMemory), 0);
  CHECK_EQ(errno, ENOMEM);
  expectUnlocked();
  HeapCensus after = checkHeap();
  CHECK_EQ(after.chunks, before.chunks);
  CHECK_EQ(after.freeBytes, before.freeBytes);
  CHECK_EQ(_heapSize, kChunkSize);

  CHECK(malloc(100) != nullptr);  // fits in the first chunk
  limitData(RLIM_INFINITY);
  CHECK(malloc(1000000) != nullptr);
  CHECK_EQ(_heapSize, 2 * kChunkSize);
  free(a);
  checkHeap();
}

// The very first chunk is refused: null with the message, and a later call sets the heap up.
void firstChunkRefused() {
  refuseSbrk(1);
  Capture err = captureFd(STDERR_FILENO);
  void *p = malloc(8);
  char text[256];
  endCapture(err, text, sizeof text);
  CHECK(p == nullptr);
  CHECK_EQ(strcmp(text, kNoMemory), 0);
  CHECK_EQ(_initialized, 0);
  CHECK_EQ(_heapSize, 0);
  expectUnlocked();

  p = malloc(8);
  CHECK(p != nullptr);
  CHECK_EQ(_initialized, 1);
  CHECK_EQ(_heapSize, kChunkSize);
  CHECK_EQ(offsetOf(p), 2097104);
  EXPECT_FREE_LIST({16, 2097088});
}

// print_list and print, byte for byte. stdout gets a static buffer so that
// stdio takes nothing from the heap.
void reports() {
  static char buffer[4096];
  setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  Capture out = captureFd(STDOUT_FILENO);

  print_list();  // sets the heap up
  void *x = malloc(8);
  void *y = malloc(8);
  malloc(8);
  free(y);
  print_list();
  malloc(2097008);  // takes the block at 16 whole
  CHECK(malloc(16) == y);
  print_list();
  free(x);
  free(nullptr);
  CHECK(calloc(1, 1) == x);
  CHECK(realloc(nullptr, 1) != nullptr);  // nothing is free: a second chunk
  print();
  fflush(stdout);

  char text[1024];
  endCapture(out, text, sizeof text);
  const char *want =
      "FreeList: [offset:16,size:2097120]\n"
      "FreeList: [offset:2097072,size:32]->[offset:16,size:2097024]\n"
      "FreeList: \n"
      "\n-------------------\n"
      "HeapSize:\t4194304 bytes\n"
      "# mallocs:\t5\n"
      "# reallocs:\t1\n"
      "# callocs:\t1\n"
      "# frees:\t3\n"
      "\n-------------------\n";
  if (strcmp(text, want) != 0) {
    report("reports: got\n");
    report(text);
    CHECK(!"reports differ");
  }
}

// The lock is free after every path: a second thread allocates at once.
// The heap walk reports every block in address order, fenceposts included,
// then the free list; a broken boundary tag is named with its offset.
struct Seen {
  HeapBlockInfo blocks[8];
  int count;
  long brokenAt;
  const char *what;
};
void noteBlock(void *context, const HeapBlockInfo *b) noexcept {
  auto *seen = static_cast<Seen *>(context);
  CHECK(seen->count < 8);
  seen->blocks[seen->count++] = *b;
}
void noteBroken(void *context, const char *what, long offset) noexcept {
  static_cast<Seen *>(context)->what = what;
  static_cast<Seen *>(context)->brokenAt = offset;
}
void walk() {
  char *x = static_cast<char *>(malloc(8));
  char *y = static_cast<char *>(malloc(8));
  free(x);
  Seen seen{};
  const HeapVisitor visitor{noteBlock, nullptr, noteBroken, nullptr};
  CHECK_EQ(heap_walk(&visitor, &seen), 0);
  const HeapBlockInfo want[] = {
      {0, 16, 0, kHeapBlockFence, 0},
      {16, 2097056, 0, kHeapBlockFree, 0},
      {2097072, 32, 2097056, kHeapBlockUsed, 0},
      {2097104, 32, 32, kHeapBlockFree, 0},
      {2097136, 16, 32, kHeapBlockFence, 0},
  };
  CHECK_EQ(seen.count, 5);
  for (int i = 0; i < 5; i++) {
    CHECK_EQ(seen.blocks[i].offset, want[i].offset);
    CHECK_EQ(seen.blocks[i].size, want[i].size);
    CHECK_EQ(seen.blocks[i].leftSize, want[i].leftSize);
    CHECK_EQ(seen.blocks[i].state, want[i].state);
  }
  const_cast<BlockHeader *>(headerOf(y))->_leftSize = 40;  // a write before y's payload
  seen = Seen{};
  CHECK_EQ(heap_walk(&visitor, &seen), -1);
  CHECK_EQ(seen.brokenAt, 2097072);
  CHECK(strcmp(seen.what, "leftSize does not match the block below") == 0);
}

void *allocateOnce(void *) { return malloc(8); }
void otherThread() {
  CHECK(malloc(0) == nullptr);
  pthread_t t;
  CHECK_EQ(pthread_create(&t, nullptr, allocateOnce, nullptr), 0);
  void *p = nullptr;
  CHECK_EQ(pthread_join(t, &p), 0);
  CHECK(p != nullptr);
  free(p);
  checkHeap();
}

// clang drops an aligned_alloc whose result is only compared with null, and clang 14 crashes
// on -fno-builtin-aligned_alloc: calls through this pointer reach the allocator as written.
void *(*volatile alignedAlloc)(size_t, size_t) = aligned_alloc;

// An aligned block is placed as high as it goes in the block carved for it;
// the slack below merges with the free block it was carved from, and the
// slack above, when it can be a block, heads the list alone.
void aligned() {
  CHECK_EQ(reinterpret_cast<uintptr_t>(_memStart) % 4096, 0);  // the offsets below rely on it
  void *p = aligned_alloc(64, 64);                             // carved: 176 bytes at 2096960
  CHECK_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0);
  CHECK_EQ(offsetOf(p), 2097008);
  CHECK_EQ(blockSizeOf(p), 80);
  CHECK_EQ(malloc_usable_size(p), 64);
  EXPECT_FREE_LIST({2097088, 48}, {16, 2096992});
  free(p);  // joins both neighbours
  EXPECT_FREE_LIST({16, 2097120});

  void *q = nullptr;
  CHECK_EQ(posix_memalign(&q, 4096, 100), 0);  // carved: 4248 bytes at 2092888
  CHECK_EQ(reinterpret_cast<uintptr_t>(q) % 4096, 0);
  CHECK_EQ(offsetOf(q), 2093040);
  EXPECT_FREE_LIST({2093160, 3976}, {16, 2093024});
  void *r = memalign(32, 8);  // carved from the head block: 88 bytes at 2097048
  CHECK_EQ(reinterpret_cast<uintptr_t>(r) % 32, 0);
  CHECK_EQ(offsetOf(r), 2097104);
  CHECK_EQ(blockSizeOf(r), 32);
  EXPECT_FREE_LIST({2093160, 3944}, {16, 2093024});
  char *v = static_cast<char *>(valloc(5000));
  char *pv = static_cast<char *>(pvalloc(5000));
  CHECK_EQ(reinterpret_cast<uintptr_t>(v) % 4096, 0);
  CHECK_EQ(reinterpret_cast<uintptr_t>(pv) % 4096, 0);
  CHECK_EQ(malloc_usable_size(pv), 8192);  // pvalloc rounds up to whole pages
  CHECK(malloc_usable_size(v) >= 5000);
  memset(v, 1, 5000);
  memset(pv, 2, 8192);
  CHECK(alignedAlloc(8, 8) != nullptr);  // no stricter than every block: plain malloc
  checkHeap();

  char *moved = static_cast<char *>(realloc(v, 6000));  // aligned blocks move and free as any
  for (int i = 0; i < 5000; i++) CHECK_EQ(moved[i], 1);
  free(moved);
  free(pv);
  free(r);
  free(q);
  checkHeap();
  CHECK_EQ(_mallocCalls, 6);  // each aligned call counts as a malloc
  CHECK_EQ(_freeCalls, 5);
  CHECK_EQ(_heapSize, kChunkSize);
}

// Impossible alignments get EINVAL, impossible sizes ENOMEM; posix_memalign
// returns the error, leaves errno and *memptr alone. Each call counts.
void alignedErrors() {
  const size_t badAlignments[] = {0, 3, 24, 48, SIZE_MAX};
  for (size_t a : badAlignments) {
    errno = 0;
    CHECK(alignedAlloc(a, 8) == nullptr);
    CHECK_EQ(errno, EINVAL);
    errno = 0;
    CHECK(memalign(a, 8) == nullptr);
    CHECK_EQ(errno, EINVAL);
  }
  void *keep = &keep;
  errno = 1234;
  CHECK_EQ(posix_memalign(&keep, 4, 8), EINVAL);  // a power of two, below sizeof(void *)
  CHECK_EQ(posix_memalign(&keep, 40, 8), EINVAL);
  CHECK_EQ(posix_memalign(&keep, 64, SIZE_MAX), ENOMEM);
  CHECK_EQ(posix_memalign(&keep, 64, kLargestRequest), ENOMEM);  // fits, but not with its slack
  CHECK_EQ(errno, 1234);
  CHECK(keep == &keep);
  CHECK_EQ(posix_memalign(&keep, 64, 0), 0);  // size 0 as malloc(0): null
  CHECK(keep == nullptr);
  CHECK_EQ(errno, 1234);

  const struct {
    size_t alignment, size;
  } tooLarge[] = {{64, SIZE_MAX - 40}, {size_t{1} << 63, 1}, {4096, kLargestRequest - 100}};
  for (const auto &t : tooLarge) {
    errno = 0;
    CHECK(alignedAlloc(t.alignment, t.size) == nullptr);
    CHECK_EQ(errno, ENOMEM);
  }
  errno = 0;
  CHECK(pvalloc(SIZE_MAX - 100) == nullptr);
  CHECK_EQ(errno, ENOMEM);
  errno = 1234;
  CHECK(alignedAlloc(64, 0) == nullptr);
  CHECK_EQ(errno, 1234);
  expectUnlocked();
  CHECK_EQ(_mallocCalls, 10 + 5 + 5);
  CHECK_EQ(_heapSize, kChunkSize);
  EXPECT_FREE_LIST({16, 2097120});
  CHECK_EQ(malloc_usable_size(nullptr), 0);
}

// MYMALLOC_CHECK: a child run with the setting breaks a block's boundary tag
// after its second operation and reports each further one on standard error.
// No call touches the broken tag, so only the walk finds it.
[[noreturn]] void checkedChild() {
  char *x = static_cast<char *>(malloc(8));
  char *y = static_cast<char *>(malloc(8));
  const_cast<BlockHeader *>(headerOf(x))->_leftSize = 8;  // a write just before x's payload
  for (int op = 3; op <= 4; op++) {
    CHECK(malloc(1) != nullptr);
    report(op == 3 ? "op3 " : "op4 ");
  }
  (void)y;
  exit(0);
}

// Runs checkedChild with MYMALLOC_CHECK set to setting; returns its standard
// error in text and its wait status.
int runChecked(const char *self, const char *setting, char *text, size_t size) {
  int pipeFds[2];
  CHECK_EQ(pipe(pipeFds), 0);
  pid_t pid = fork();
  CHECK(pid >= 0);
  if (pid == 0) {
    dup2(pipeFds[1], STDERR_FILENO);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);  // the statistics at exit
    char *const argv[] = {const_cast<char *>(self), const_cast<char *>("checked-child"), nullptr};
    char *const envp[] = {const_cast<char *>(setting), nullptr};
    execve(self, argv, envp);
    _exit(127);
  }
  close(pipeFds[1]);
  size_t got = 0;
  ssize_t n;
  while (got < size - 1 && (n = read(pipeFds[0], text + got, size - 1 - got)) > 0) got += n;
  text[got] = '\0';
  close(pipeFds[0]);
  int status = 0;
  CHECK_EQ(waitpid(pid, &status, 0), pid);
  return status;
}

void heapCheckSetting() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  CHECK(n > 0);
  self[n] = '\0';
  // x's header, at the top of the chunk's blocks (2097136) less x's block (8
  // bytes asked for, 16 of header, 16 of the check's room); its address,
  // which varies, reads 0x_.
  constexpr char kBroken[] =
      "MyMalloc: heap check failed: leftSize does not match the block below at 0x_ "
      "(offset 2097096 in its chunk)\n";
  const struct {
    const char *setting, *before;
    bool aborts;
  } cases[] = {
      {"MYMALLOC_CHECK=every:1", "", true},             // at the next operation
      {"MYMALLOC_CHECK=every:3", "", true},             // operation 3
      {"MYMALLOC_CHECK=every:4", "op3 ", true},         // operation 4
      {"MYMALLOC_CHECK=every:1000", "op3 op4 ", true},  // at exit
      {"MYMALLOC_CHECK=1", "op3 ", true},         // operation 4: the walk at 2 counted 2 blocks
      {"MYMALLOC_CHECK=1000", "op3 op4 ", true},  // at exit: 1000 x 0 blocks after the walk at 1
      {"MYMALLOC_CHECK=0", "op3 op4 ", false},    // off
      {"MYMALLOC_CHECK=every:0", "op3 op4 ", false},  // off
      {"MYMALLOC_CHECKS=1", "op3 op4 ", false},       // not the setting
  };
  for (const auto &c : cases) {
    char text[512], want[512];
    int status = runChecked(self, c.setting, text, sizeof text);
    if (char *at = strstr(text, " at 0x")) {  // the address, which varies, as 0x_
      char *end = at + 6;
      while ((*end >= '0' && *end <= '9') || (*end >= 'a' && *end <= 'f')) end++;
      memmove(at + 7, end, strlen(end) + 1);
      at[6] = '_';
    }
    snprintf(want, sizeof want, "%s%s", c.before, c.aborts ? kBroken : "");
    if (strcmp(text, want) != 0 || (c.aborts ? !WIFSIGNALED(status) || WTERMSIG(status) != SIGABRT
                                             : !WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
      report(c.setting);
      report(": got\n");
      report(text);
      CHECK(!"heap check setting misbehaves");
    }
  }
}

const struct {
  const char *name;
  void (*run)();
} kScenarios[] = {
    {"rounding", rounding},
    {"zero-first", zeroFirst},
    {"too-large-first", tooLargeFirst},
    {"limits", limits},
    {"remainders", remainders},
    {"first-fit", firstFit},
    {"growth", growth},
    {"coalesce-example", coalesceExample},
    {"coalesce-positions", coalescePositions},
    {"chunk-edges", chunkEdges},
    {"realloc", reallocSemantics},
    {"calloc", callocSemantics},
    {"free-null", freeNull},
    {"refused-extension", refusedExtension},
    {"first-chunk-refused", firstChunkRefused},
    {"reports", reports},
    {"other-thread", otherThread},
    {"walk", walk},
    {"aligned", aligned},
    {"aligned-errors", alignedErrors},
    {"heap-check-setting", heapCheckSetting},
};

}  // namespace

// `alloc_scenarios --list` writes the names one a line: the build makes a test of each.
int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--list") == 0) {
    reportFd = STDOUT_FILENO;
    for (const auto &s : kScenarios) {
      report(s.name);
      report("\n");
    }
    _exit(0);
  }
  if (argc == 2 && strcmp(argv[1], "checked-child") == 0) checkedChild();  // heapCheckSetting's
  if (argc == 2) {
    for (const auto &s : kScenarios) {
      if (strcmp(argv[1], s.name) == 0) {
        s.run();
        _exit(0);  // the exit report is not part of any scenario
      }
    }
  }
  report("Usage: alloc_scenarios NAME\nNAME is one of:");
  for (const auto &s : kScenarios) {
    report(" ");
    report(s.name);
  }
  report("\n");
  return 2;
}
