/* fault: a user's program with one memory fault, as it would be written, for seeing what the
 * allocator makes of it.
 *
 * Usage: fault CLASS SIZE
 *   CLASS: double-free, double-free-delayed, double-free-interleaved, double-free-after-reuse,
 *          double-free-written, invalid-interior, invalid-off-by-one, invalid-stack,
 *          invalid-static, invalid-alloca, invalid-far, overflow-1, overflow-32, underflow-1,
 *          underflow-32, write-after-free, write-after-free-realloc, write-after-free-merged,
 *          write-after-free-cached, write-after-free-returned
 *   SIZE:  small (8 bytes), 4k (4096 bytes) or 256k (262144 bytes, a mapped block where the
 *          allocator maps large blocks)
 *
 * On standard output, written with write(2) so that nothing but the fault reaches the heap:
 * "call L" before each allocator call that follows the fault (L: its source line, which the
 * call's return address leads back to), "touch L" before the program's own access of freed or
 * foreign memory, then "handed out twice" (exit 4) if two mallocs return one block, else
 * "survived" (exit 0). The last marker says where a crash happened.
 */
#include <alloca.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static size_t n; /* the block size under test */

static void sayOn(int fd, const char *text) {
  size_t len = strlen(text);
  if (write(fd, text, len) != (ssize_t)len) _exit(5);
}
static void say(const char *text) { sayOn(STDOUT_FILENO, text); }

static void marker(const char *what, int line) {
  char text[32];
  char digits[12];
  int k = 0;
  do digits[k++] = (char)('0' + line % 10);
  while ((line /= 10) != 0);
  size_t at = strlen(what);
  memcpy(text, what, at);
  text[at++] = ' ';
  while (k > 0) text[at++] = digits[--k];
  text[at++] = '\n';
  text[at] = '\0';
  say(text);
}

/* An allocator call after the fault, and the program's own access of memory it does not own. */
#define CALL(e) (marker("call", __LINE__), (e))
#define TOUCH(e) (marker("touch", __LINE__), (e))

static char *take(size_t size, char fill) {
  char *p = malloc(size);
  if (p == NULL) {
    say("fault: malloc failed\n");
    _exit(6);
  }
  memset(p, fill, size);
  return p;
}

/* What a program goes on to do: ask for two blocks of the size it freed. */
static void goOn(void) {
  void *x = CALL(malloc(n));
  void *y = CALL(malloc(n));
  if (x != NULL && x == y) {
    say("handed out twice\n");
    _exit(4);
  }
  say("survived\n");
  exit(0);
}

/* ---- Double frees ---- */

static void doubleFree(void) {
  char *p = take(n, 'A');
  free(p);
  CALL(free(p));
  goOn();
}

/* Other blocks of the same size are freed between the two frees of p. */
static void doubleFreeDelayed(void) {
  char *others[20];
  char *p = take(n, 'A');
  for (int i = 0; i < 20; i++) others[i] = take(n, 'B');
  free(p);
  for (int i = 0; i < 20; i++) free(others[i]);
  CALL(free(p));
  goOn();
}

/* free(p); free(q); free(p), with other calls between. */
static void doubleFreeInterleaved(void) {
  char *p = take(n, 'A');
  char *q = take(n, 'B');
  free(p);
  char *x = take(2 * n + 100, 'C');
  free(q);
  free(x);
  CALL(free(p));
  goOn();
}

/* Blocks of another size are allocated after p is freed, and kept. */
static void doubleFreeAfterReuse(void) {
  char *p = take(n, 'A');
  free(p);
  size_t other = n >= 4096 ? 100 : 3 * n + 200;
  for (int i = 0; i < 50; i++) (void)take(other, 'C');
  CALL(free(p));
  goOn();
}

/* A double free of a block whose first 16 bytes, where a per-thread cache keeps its link and
   its mark, were written after its first free, with another block freed between; then more
   blocks of its size than were freed. */
static void doubleFreeWritten(void) {
  char *p = take(n, 'A');
  char *q = take(n, 'B');
  free(p);
  free(q);
  TOUCH(memset(p, 'W', 16));
  CALL(free(p));
  void *got[4];
  for (int i = 0; i < 4; i++) got[i] = CALL(malloc(n));
  for (int i = 0; i < 4; i++)
    for (int j = i + 1; j < 4; j++)
      if (got[i] != NULL && got[i] == got[j]) {
        say("handed out twice\n");
        _exit(4);
      }
  goOn();
}

/* ---- Pointers that are not blocks ---- */

static void invalidInterior(void) {
  char *p = take(n, 'A');
  CALL(free(p + n / 2));
  goOn();
}

static void invalidOffByOne(void) {
  char *p = take(n, 'A');
  CALL(free(p + 1));
  goOn();
}

static void invalidStack(void) {
  char onStack[n];
  memset(onStack, 'S', n);
  CALL(free(onStack));
  goOn();
}

static char staticData[262144] __attribute__((aligned(64)));

static void invalidStatic(void) {
  memset(staticData, 'D', n);
  CALL(free(staticData));
  goOn();
}

/* The 16 bytes below the pointer are the program's own, so what an allocator reads there as a
   header does not depend on how the compiler laid out the stack. */
static void invalidAlloca(void) {
  char *p = (char *)alloca(n + 16) + 16;
  memset(p - 16, 'N', n + 16);
  CALL(free(p));
  goOn();
}

/* A pointer a terabyte past a block: into memory nobody mapped. */
static void invalidFar(void) {
  char *p = take(n, 'A');
  CALL(free((char *)((uintptr_t)p + ((uintptr_t)1 << 40))));
  goOn();
}

/* ---- Writes past either end of a block, between two others ---- */

static void writeBeyond(long by) {
  char *above = take(n, 'B');
  char *p = take(n, 'A');
  char *below = take(n, 'C');
  if (by > 0)
    memset(p + n, 'O', (size_t)by);
  else
    memset(p + by, 'U', (size_t)-by);
  CALL(free(p));
  CALL(free(above));
  CALL(free(below));
  goOn();
}
static void overflow1(void) { writeBeyond(1); }
static void overflow32(void) { writeBeyond(32); }
static void underflow1(void) { writeBeyond(-1); }
static void underflow32(void) { writeBeyond(-32); }

/* A byte written into a freed block, which the next malloc of its size takes. */
static void writeAfterFree(void) {
  char *above = take(n, 'B');
  char *p = take(n, 'A');
  char *below = take(n, 'C');
  free(p);
  TOUCH(((volatile char *)p)[n / 2] = 'W');
  (void)above, (void)below;
  goOn();
}

/* A block whose two freed neighbours then had their first bytes written, where a heap links its
   free blocks. */
static char *betweenWrittenNeighbours(void) {
  char *above = take(n, 'B');
  char *p = take(n, 'A');
  char *below = take(n, 'C');
  free(above);
  free(below);
  TOUCH(memset(above, 'W', 16));
  TOUCH(memset(below, 'W', 16));
  return p;
}

/* Then a realloc that shrinks the block, so that an allocator that gives its tail back merges it
   with what the writes left. */
static void writeAfterFreeRealloc(void) {
  char *p = betweenWrittenNeighbours();
  p = CALL(realloc(p, n / 2));
  CALL(free(p));
  goOn();
}

/* Then the block freed, so that an allocator that merges free neighbours follows what the writes
   left in their links. */
static void writeAfterFreeMerged(void) {
  char *p = betweenWrittenNeighbours();
  CALL(free(p));
  goOn();
}

/* The first word of a freed block written (where a per-thread cache links its blocks), then
   enough frees of its size that a cache would give its blocks back. */
static void writeAfterFreeCached(void) {
  enum { kMost = 20000 };
  static char *blocks[kMost];
  size_t count = n * kMost > ((size_t)64 << 20) ? ((size_t)64 << 20) / n : kMost;
  for (size_t i = 0; i < count; i++) blocks[i] = take(n, 'A');
  free(blocks[0]);
  TOUCH(memset(blocks[0], 'W', 8));
  for (size_t i = 1; i < count; i++) CALL(free(blocks[i]));
  goOn();
}

/* A block of the main thread's freed by a thread that allocated too and then ended, so that an
   allocator with arenas returns it to the main thread's; its first word written; then a malloc
   of the main thread's. */
static char *returned;
static void *freeAndEnd(void *unused) {
  (void)unused;
  free(take(16, 'T'));
  free(returned);
  return NULL;
}
static void writeAfterFreeReturned(void) {
  pthread_t t;
  returned = take(n, 'A');
  if (pthread_create(&t, NULL, freeAndEnd, NULL) != 0 || pthread_join(t, NULL) != 0) _exit(6);
  TOUCH(memset(returned, 'W', 8));
  goOn();
}

static const struct {
  const char *name;
  void (*run)(void);
} kClasses[] = {
    {"double-free", doubleFree},
    {"double-free-delayed", doubleFreeDelayed},
    {"double-free-interleaved", doubleFreeInterleaved},
    {"double-free-after-reuse", doubleFreeAfterReuse},
    {"double-free-written", doubleFreeWritten},
    {"invalid-interior", invalidInterior},
    {"invalid-off-by-one", invalidOffByOne},
    {"invalid-stack", invalidStack},
    {"invalid-static", invalidStatic},
    {"invalid-alloca", invalidAlloca},
    {"invalid-far", invalidFar},
    {"overflow-1", overflow1},
    {"overflow-32", overflow32},
    {"underflow-1", underflow1},
    {"underflow-32", underflow32},
    {"write-after-free", writeAfterFree},
    {"write-after-free-realloc", writeAfterFreeRealloc},
    {"write-after-free-merged", writeAfterFreeMerged},
    {"write-after-free-cached", writeAfterFreeCached},
    {"write-after-free-returned", writeAfterFreeReturned},
};

static const struct {
  const char *name;
  size_t bytes;
} kSizes[] = {{"small", 8}, {"4k", 4096}, {"256k", 262144}};

int main(int argc, char **argv) {
  if (argc == 3) {
    for (size_t s = 0; s < sizeof kSizes / sizeof kSizes[0]; s++)
      if (strcmp(argv[2], kSizes[s].name) == 0) n = kSizes[s].bytes;
    for (size_t c = 0; n != 0 && c < sizeof kClasses / sizeof kClasses[0]; c++)
      if (strcmp(argv[1], kClasses[c].name) == 0) kClasses[c].run();
  }
  sayOn(STDERR_FILENO, "Usage: fault CLASS small|4k|256k\n");
  return 2;
}
