/* scribble: a program that writes past the ends of its blocks, chosen by a seed, for the heap
 * check to find.
 *
 * Usage: scribble SEED
 *
 * It holds blocks of 1 byte to 5000 bytes, frees some, then changes every byte of one to three
 * runs of 1 to 32 bytes just past the end of a live block's request, or just before its start
 * (a run starts up to 7 bytes away). It writes "scribbled" on standard output, with write(2),
 * and then only calls the allocator: 3000 frees, mallocs and reallocs. If it gets to its end it
 * writes "survived" (exit 0). A signal after "scribbled" is one inside the allocator.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kBlocks = 400, kSteps = 3000 };

static uint64_t state;

/* xorshift64: the same run for the same seed */
static uint64_t next(void) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

static void say(const char *text) {
  size_t len = strlen(text);
  if (write(STDOUT_FILENO, text, len) != (ssize_t)len) _exit(5);
}

static unsigned char *block[kBlocks];
static size_t asked[kBlocks];

int main(int argc, char **argv) {
  if (argc != 2) {
    say("Usage: scribble SEED\n");
    return 2;
  }
  state = strtoull(argv[1], NULL, 10) * 2654435761u + 1;
  for (int i = 0; i < kBlocks; i++) {
    asked[i] = 1 + next() % (next() % 4 == 0 ? 5000 : 200);
    block[i] = malloc(asked[i]);
    if (block[i] == NULL) return 6;
    memset(block[i], 0x11, asked[i]);
  }
  for (int i = 0; i < kBlocks; i += 2 + (int)(next() % 3)) {
    free(block[i]);
    block[i] = NULL;
  }

  for (int runs = 1 + (int)(next() % 3); runs > 0; runs--) {
    int i;
    do i = (int)(next() % kBlocks);
    while (block[i] == NULL);
    long length = 1 + (long)(next() % 32);
    long at = next() % 2 ? (long)asked[i] + (long)(next() % 8) : -length - (long)(next() % 8);
    for (long k = 0; k < length; k++) block[i][at + k] ^= (unsigned char)(1 + next() % 255);
  }
  say("scribbled\n");

  for (int step = 0; step < kSteps; step++) {
    int i = (int)(next() % kBlocks);
    if (block[i] == NULL) {
      asked[i] = 1 + next() % 300;
      block[i] = malloc(asked[i]);
    } else if (next() % 5 == 0) {
      asked[i] = 1 + next() % 3000;
      block[i] = realloc(block[i], asked[i]);
    } else {
      free(block[i]);
      block[i] = NULL;
    }
  }
  say("survived\n");
  return 0;
}
