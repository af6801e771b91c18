// heap-mod: the heap explorer, a module for modhost. GET /heap shows the script form and the
// default script's steps; POST /heap with script=... in the body (or GET /heap?script=...,
// ?example=NAME) runs heaprun, found beside this module, on the script in a process of its own
// and shows the heap after every call. GET /heap?worker=recording is the script of the page's
// Worker that reads a program's recording picked in the page.
//
// Like the order form, the module lists no libraries: libc and the host utilities come from
// the process that loads it.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <time.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "deadline.h"
#include "heap-examples.h"
#include "heap-page.h"
#include "httprequest.h"
#include "module_api.h"
#include "plumbing.h"

using namespace heapview;

namespace {

constexpr int kRunSeconds = 5;              // for heaprun's whole run
constexpr size_t kOutputMax = 64 << 20;     // bytes of heaprun's output read
constexpr size_t kOutputStart = 1 << 20;    // the first room for it, doubled as it grows
constexpr rlim_t kHeapLimit = 256ul << 20;  // heaprun's data segment: 128 chunks or so

struct Query {
  char *script = nullptr;  // decoded, or null if not given
  char *example = nullptr;
  char *names = nullptr;  // "PATH OFFSET" lines of a recording's call sites, to be named
  char *trace = nullptr;  // "raw": the recording the server was started with (HEAP_TRACE)
  char *worker = nullptr;  // "recording": the script of the page's reader of recordings
  char *check = nullptr;  // "1": run under the heap check
  char *replay = nullptr;  // "trace": replay the server's recording and keep its steps
  char *run = nullptr, *from = nullptr, *count = nullptr;  // a window of a kept run
  char *upload = nullptr, *at = nullptr, *last = nullptr;  // a part of a recording's calls
  bool nulInScript = false;  // decoding would cut the script short there
};

// Takes the fields script and example from query (changed in place); words are decoded with
// the host utilities. A later field of the same name wins.
void parseQuery(char *query, Query *q) {
  size_t room = strlen(query) + 1;
  while (*query != '\0') {
    char *name = static_cast<char *>(malloc(room));
    char *value = static_cast<char *>(malloc(room));
    if (name == nullptr || value == nullptr) exit(1);
    getword(value, query, '&');
    getword(name, value, '=');  // value keeps what follows the '='
    plustospace(name);
    unescape_url(name);
    bool nul = strstr(value, "%00") != nullptr;
    plustospace(value);
    unescape_url(value);
    char **field = strcmp(name, "script") == 0    ? &q->script
                   : strcmp(name, "example") == 0 ? &q->example
                   : strcmp(name, "names") == 0   ? &q->names
                   : strcmp(name, "trace") == 0   ? &q->trace
                   : strcmp(name, "worker") == 0  ? &q->worker
                   : strcmp(name, "check") == 0   ? &q->check
                   : strcmp(name, "replay") == 0  ? &q->replay
                   : strcmp(name, "run") == 0     ? &q->run
                   : strcmp(name, "from") == 0    ? &q->from
                   : strcmp(name, "count") == 0   ? &q->count
                   : strcmp(name, "upload") == 0  ? &q->upload
                   : strcmp(name, "at") == 0      ? &q->at
                   : strcmp(name, "last") == 0    ? &q->last
                                                  : nullptr;
    free(name);
    if (field == &q->script) q->nulInScript = nul;
    if (field != nullptr) {
      free(*field);
      *field = value;
    } else {
      free(value);
    }
  }
}

// A POST request's body, from standard input, NUL-terminated; null if there is none or it
// cannot be read whole.
char *readBody() {
  const char *method = getenv("REQUEST_METHOD"), *length = getenv("CONTENT_LENGTH");
  if (method == nullptr || strcmp(method, "POST") != 0 || length == nullptr) return nullptr;
  int n = 0;
  if (parseNumber(length, 0, static_cast<long>(kBodyMax), &n) != 0) return nullptr;
  char *body = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (body == nullptr) return nullptr;
  size_t got = 0;
  while (got < static_cast<size_t>(n)) {
    ssize_t r = read(STDIN_FILENO, body + got, static_cast<size_t>(n) - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  body[got] = '\0';
  return body;
}

// The path of program (heaprun, heaptrace) beside this module, or false if it does not fit.
bool toolPath(const char *program, char (&path)[PATH_MAX]) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&parseQuery), &info) == 0 || info.dli_fname == nullptr)
    return false;
  const char *slash = strrchr(info.dli_fname, '/');
  size_t dir = slash == nullptr ? 0 : static_cast<size_t>(slash - info.dli_fname) + 1;
  size_t name = strlen(program) + 1;
  if (dir + 2 + name > sizeof path) return false;
  memcpy(path, info.dli_fname, dir);
  if (dir == 0) memcpy(path, "./", dir = 2);
  memcpy(path + dir, program, name);
  return true;
}

// heaprun's process (or heaptrace's): the script on standard input, both outputs into the
// pipe, bounded in time and memory; under the heap check (MYMALLOC_CHECK=1) or with it off,
// whatever the server's own environment says.
struct Limits {
  rlim_t seconds, data;
};
constexpr Limits kScriptLimits = {kRunSeconds, kHeapLimit};

[[noreturn]] void startHeaprun(const char *path, const char *const *argv, int script, int output,
                               bool check, Limits limits = kScriptLimits) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) _exit(126);
  if ((check ? setenv("MYMALLOC_CHECK", "1", 1) : unsetenv("MYMALLOC_CHECK")) != 0) _exit(126);
  rlimit cpu = {limits.seconds, limits.seconds};
  rlimit data = {limits.data, limits.data};
  if (dup2(script, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
      dup2(output, STDERR_FILENO) < 0 || setrlimit(RLIMIT_CPU, &cpu) != 0 ||
      setrlimit(RLIMIT_DATA, &data) != 0)
    _exit(126);
  signal(SIGPIPE, SIG_DFL);
  execv(path, const_cast<char *const *>(argv));
  _exit(127);
}

const char *const kHeaprunArgv[] = {"heaprun", nullptr};

struct Run {
  char *output = nullptr;
  size_t length = 0, room = 0;
  const char *problem = nullptr;
};

// Reads heaprun's output until it ends, passes kOutputMax or runs out of time.
void collect(int fd, long long deadline, Run *run) {
  for (;;) {
    if (run->length == run->room) {
      char *grown = run->room < kOutputMax
                        ? static_cast<char *>(realloc(run->output, 2 * run->room))
                        : nullptr;
      if (grown == nullptr) {
        run->problem = "heaprun's output passed 64 MiB: the steps up to there are shown.";
        return;
      }
      run->output = grown;
      run->room *= 2;
    }
    long long left = deadline - nowMillis();
    if (left <= 0) {
      run->problem =
          "heaprun took longer than 5 seconds and was stopped: the steps it finished "
          "are shown.";
      return;
    }
    pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      run->problem = "heaprun's output could not be read.";
      return;
    }
    if (ready == 0) continue;  // the deadline is checked above
    ssize_t n = read(fd, run->output + run->length, run->room - run->length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    run->length += static_cast<size_t>(n);
  }
}

// Runs heaprun on the script (or argv's tool on the input); what it wrote is in run->output
// (kept to the end of the process).
void runHeaprun(const char *script, size_t length, bool check, Run *run,
                const char *const *argv = kHeaprunArgv) {
  char path[PATH_MAX];
  if (!toolPath(argv[0], path) || access(path, X_OK) != 0) {
    run->problem = "heaprun was not found beside the module.";
    return;
  }
  run->output = static_cast<char *>(malloc(kOutputStart));
  run->room = kOutputStart;
  int input = memfd_create("heaprun-script", MFD_CLOEXEC);
  int pipes[2] = {-1, -1};
  bool ready = run->output != nullptr && input >= 0 && pipe2(pipes, O_CLOEXEC) == 0 &&
               writeAll(input, script, length) == 0 && lseek(input, 0, SEEK_SET) == 0;
  pid_t pid = ready ? fork() : -1;
  if (pid < 0) {
    const int opened[] = {input, pipes[0], pipes[1]};
    for (int fd : opened)
      if (fd >= 0) close(fd);
    run->problem = "heaprun could not be started.";
    return;
  }
  if (pid == 0) startHeaprun(path, argv, input, pipes[1], check);
  close(input);
  close(pipes[1]);
  collect(pipes[0], nowMillis() + kRunSeconds * 1000LL, run);
  if (run->problem != nullptr) kill(pid, SIGKILL);
  close(pipes[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (run->problem != nullptr) return;
  if (WIFSIGNALED(status))
    run->problem = WTERMSIG(status) == SIGXCPU ? "heaprun ran out of time and was stopped."
                                               : "heaprun was ended by a signal.";
  else if (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)
    run->problem = "heaprun could not be started.";
}

// GET /heap?trace=raw: the bytes of the recording named by HEAP_TRACE in the server's
// environment (make explore TRACE=FILE), which the page's script reads and draws.
[[noreturn]] void serveRecording(FILE *client) {
  const char *path = getenv("HEAP_TRACE");
  int fd = path != nullptr && path[0] != '\0' ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) {
    fprintf(client, "Content-type: text/plain; charset=utf-8%c%c", '\n', '\n');
    fprintf(client, "%s\n", path == nullptr || path[0] == '\0'
                               ? "The server was started without a recording (make explore "
                                 "TRACE=FILE)."
                               : "The server's recording cannot be read.");
    exit(0);
  }
  fprintf(client, "Content-type: application/octet-stream%c%c", '\n', '\n');
  fflush(client);
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    if (writeAll(fileno(client), buf, static_cast<size_t>(n)) != 0) break;
  exit(0);
}

// POST names=...: a recording's call sites named from their modules' symbol tables by
// heaptrace --names, as a JSON array.
[[noreturn]] void serveNames(FILE *client, const char *lines) {
  static const char *const argv[] = {"heaptrace", "--names", nullptr};
  Run run;
  runHeaprun(lines, strlen(lines), false, &run, argv);
  fprintf(client, "Content-type: application/json%c%c", '\n', '\n');
  if (run.problem != nullptr || run.length == 0 || run.output[0] != '[')
    fputs("null\n", client);
  else
    fwrite(run.output, 1, run.length, client);
  exit(0);
}

#include "heap-runs.inc"

}  // namespace

extern "C" void httprun(int fd, char *) {
  FILE *client = fdopen(fd, "w");
  if (client == nullptr) {
    perror("fdopen");
    exit(1);
  }
  Query q;
  const char *raw = getenv("QUERY_STRING");
  if (raw != nullptr) {
    char *query = strdup(raw);
    if (query == nullptr) exit(1);
    parseQuery(query, &q);
  }
  char *body = readBody();
  if (body != nullptr) parseQuery(body, &q);  // the form's fields, after the address's
  if (q.trace != nullptr && strcmp(q.trace, "raw") == 0) serveRecording(client);
  if (q.worker != nullptr && strcmp(q.worker, "recording") == 0) {
    fprintf(client, "Content-type: text/javascript; charset=utf-8%c%c", '\n', '\n');
    writeRecordingReader(client);
    exit(0);
  }
  if (q.names != nullptr) serveNames(client, q.names);
  if (q.replay != nullptr) serveReplay(client, q.replay);
  if (q.run != nullptr) serveWindow(client, q.run, q.from, q.count);
  if (q.upload != nullptr) serveUpload(client, q.upload, q.at, q.last, q.script);
  const char *firstExample = kHeapExamples[0].script;  // the text area's default
  PageInput page{firstExample, strlen(firstExample), nullptr, false, nullptr, 0, nullptr, false};
  page.check = q.check != nullptr && strcmp(q.check, "1") == 0;
  const char *script = q.script;
  if (script == nullptr && q.example == nullptr && q.trace == nullptr) {  // the first visit
    script = firstExample;
    page.example = kHeapExamples[0].name;
  }
  if (q.example != nullptr && q.example[0] != '\0') {  // the menu's "Choose one" is empty
    page.problem = "There is no example of that name.";
    for (const HeapExample &e : kHeapExamples)
      if (strcmp(e.name, q.example) == 0) {
        page.example = e.name;
        script = exampleScript(e);
        page.problem = script == nullptr ? "The server ran out of memory." : nullptr;
      }
  }
  if (script != nullptr) {
    page.script = script;
    page.scriptLength = strlen(script);
  }
  if (script == q.script && q.nulInScript)
    page.problem = "The script holds a NUL byte (%00): a script is text.";
  if (script != nullptr && page.problem == nullptr) {
    Run run;
    runHeaprun(page.script, page.scriptLength, page.check, &run);
    page.ran = run.problem == nullptr || run.length > 0;
    page.output = run.output;
    page.outputLength = run.length;
    page.problem = run.problem;
  }
  fprintf(client, "Content-type: text/html; charset=utf-8%c%c", '\n', '\n');
  writePage(client, page);
  exit(0);
}
