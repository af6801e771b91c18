/* modfloor: the least that serving one module request in a process of its own costs, as a
 * yardstick for modhost. Each round forks a relay, which forks a process that dlopens the
 * module and calls its httprun on /dev/null; the relay waits for that process and the
 * program waits for the relay. No socket, no HTTP, no log: only the processes and the load.
 *
 * Usage: modfloor MODULE COUNT
 *
 * Prints one line: "result count=N seconds=S per_second=R median_ms=M p99_ms=P cpu_ms=C",
 * the latencies being those of single rounds, fork to the relay's reaping, and C the processor
 * time per round of all three processes. QUERY_STRING is removed from the environment, so that
 * a form module shows its form.
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kCountMax = 1000000 };

typedef void (*HttpRun)(int fd, char *query);

static double nowSeconds(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* The module's process: load the module and let httprun answer on /dev/null. */
static void runModule(const char *path) {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) {
    perror("/dev/null");
    _exit(1);
  }
  void *module = dlopen(path, RTLD_LAZY);
  if (module == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    _exit(126);
  }
  HttpRun httprun = (HttpRun)dlsym(module, "httprun");
  if (httprun == NULL) {
    fprintf(stderr, "dlsym: httprun not found: %s\n", dlerror());
    _exit(127);
  }
  char query[] = "";
  httprun(fd, query);
  exit(0);
}

/* Waits for pid; returns its status, or -1 if waitpid fails. */
static int reap(pid_t pid) {
  int status;
  if (waitpid(pid, &status, 0) != pid) {
    perror("waitpid");
    return -1;
  }
  return status;
}

/* The relay: start the module's process and wait for it. */
static void runRelay(const char *path) {
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    _exit(1);
  }
  if (pid == 0) runModule(path);
  int status = reap(pid);
  _exit(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) <= 1 ? 0 : 1);
}

/* Processor time, user and system, of the program and its reaped children, in seconds. */
static double cpuSeconds(void) {
  double total = 0;
  int who[] = {RUSAGE_SELF, RUSAGE_CHILDREN};
  for (int i = 0; i < 2; i++) {
    struct rusage ru;
    if (getrusage(who[i], &ru) != 0) continue;
    total += (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
             (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

/* File scope, so that the children, which end in exit() without freeing it, hold it
   reachable (a leak checker's root) rather than leaked. */
static double *latency;

static int compareDoubles(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

int main(int argc, char *argv[]) {
  char *end;
  long count = argc == 3 ? strtol(argv[2], &end, 10) : 0;
  if (argc != 3 || *end != '\0' || count < 1 || count > kCountMax) {
    fprintf(stderr, "Usage: %s MODULE COUNT (1 to %d)\n", argv[0], kCountMax);
    return 2;
  }
  unsetenv("QUERY_STRING");
  latency = malloc((size_t)count * sizeof *latency);
  if (latency == NULL) {
    perror("malloc");
    return 1;
  }
  double start = nowSeconds(), cpuStart = cpuSeconds();
  for (long i = 0; i < count; i++) {
    double t = nowSeconds();
    pid_t pid = fork();
    if (pid < 0) {
      perror("fork");
      return 1;
    }
    if (pid == 0) runRelay(argv[1]);
    int status = reap(pid);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "modfloor: round %ld failed\n", i);
      return 1;
    }
    latency[i] = nowSeconds() - t;
  }
  double seconds = nowSeconds() - start, cpu = cpuSeconds() - cpuStart;
  qsort(latency, (size_t)count, sizeof *latency, compareDoubles);
  /* The nearest-rank percentiles, as ab reports them. */
  double median = latency[(count - 1) / 2], p99 = latency[(99 * count + 99) / 100 - 1];
  printf("result count=%ld seconds=%.3f per_second=%.1f median_ms=%.3f p99_ms=%.3f cpu_ms=%.3f\n",
         count, seconds, (double)count / seconds, median * 1e3, p99 * 1e3, cpu * 1e3 / count);
  free(latency);
  return 0;
}
