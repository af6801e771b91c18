/* A host of another make, in C: it serves one request to a module the way a foreign HTTP
 * server does, with its own host utilities written from the contract alone. Each utility
 * leaves junk in the result register, as one that returns nothing may, so a module that
 * reads a result from them fails here.
 *
 * Usage: foreign-host MODULE [QUERY]  (no QUERY: QUERY_STRING unset)
 * The module's output goes to standard output; the exit status is the request process's
 * (128 + the signal if one ended it, 99 if the module cannot be run). */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

/* The names a module binds the utilities by: getword(char*, char*, char), plustospace(char*)
 * and unescape_url(char*), as C++ encodes them. */
void getword(char *word, char *line, char stop) __asm__("_Z7getwordPcS_c");
void plustospace(char *s) __asm__("_Z11plustospacePc");
void unescape_url(char *s) __asm__("_Z12unescape_urlPc");

/* Whatever a caller reads as a result is a large number: 0x7fffffff. */
#define LEAVE_JUNK_RESULT() __asm__ volatile("mov $0x7fffffff, %%eax" ::: "eax", "memory")

void getword(char *word, char *line, char stop) {
  int x = 0, y;
  for (; line[x] != '\0' && line[x] != stop; x++) word[x] = line[x];
  word[x] = '\0';
  if (line[x] != '\0') x++;
  y = 0;
  while ((line[y++] = line[x++]) != '\0') {
  }
  LEAVE_JUNK_RESULT();
}

void plustospace(char *s) {
  for (; *s != '\0'; s++)
    if (*s == '+') *s = ' ';
  LEAVE_JUNK_RESULT();
}

static int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void unescape_url(char *s) {
  int x, y;
  for (x = 0, y = 0; s[y] != '\0'; x++, y++) {
    if (s[y] == '%' && hexValue(s[y + 1]) >= 0 && hexValue(s[y + 2]) >= 0) {
      s[x] = (char)(hexValue(s[y + 1]) * 16 + hexValue(s[y + 2]));
      y += 2;
    } else {
      s[x] = s[y];
    }
  }
  s[x] = '\0';
  LEAVE_JUNK_RESULT();
}

int main(int argc, char **argv) {
  int pair[2], status;
  char buf[4096];
  ssize_t n;
  pid_t pid;
  if (argc < 2) {
    fputs("usage: foreign-host MODULE [QUERY]\n", stderr);
    return 2;
  }
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
    perror("socketpair");
    return 99;
  }
  pid = fork();
  if (pid < 0) {
    perror("fork");
    return 99;
  }
  if (pid == 0) { /* the request's process: the module's call ends it */
    void *handle, *entry;
    char query[] = "";
    close(pair[0]);
    if (argc > 2)
      setenv("QUERY_STRING", argv[2], 1);
    else
      unsetenv("QUERY_STRING");
    handle = dlopen(argv[1], RTLD_LAZY);
    entry = handle != NULL ? dlsym(handle, "httprun") : NULL;
    if (entry == NULL) {
      fprintf(stderr, "%s\n", dlerror());
      _exit(99);
    }
    ((void (*)(int, char *))entry)(pair[1], query);
    _exit(0);
  }
  close(pair[1]);
  while ((n = read(pair[0], buf, sizeof buf)) > 0)
    if (fwrite(buf, 1, (size_t)n, stdout) != (size_t)n) return 99;
  if (waitpid(pid, &status, 0) != pid) {
    perror("waitpid");
    return 99;
  }
  fflush(stdout);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
