/* A C program that leaks in a loop, built as a learner would (gcc -g): it keeps a copy of
   every other line and forgets it. The explorer must name the leak's call site, remember. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct note {
  char *text;
  size_t length;
};

static struct note *make_note(const char *text) {
  struct note *n = malloc(sizeof *n);
  n->length = strlen(text);
  n->text = malloc(n->length + 1);
  memcpy(n->text, text, n->length + 1);
  return n;
}

static void drop_note(struct note *n) {
  free(n->text);
  free(n);
}

static char *remember(int i) {
  char *copy = malloc(64 + (size_t)(i % 200));
  snprintf(copy, 64, "line %d", i);
  return copy;  /* the caller forgets it: the leak */
}

int main(void) {
  char line[128];
  for (int i = 0; i < 22223; i++) {
    snprintf(line, sizeof line, "note number %d", i);
    struct note *n = make_note(line);
    if (i % 2 == 0) remember(i);
    drop_note(n);
  }
  puts("done");
  return 0;
}
