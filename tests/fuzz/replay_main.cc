// Runs a fuzz target over files and folders of inputs (seeds and past crashes),
// so that every build tests them without libFuzzer.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// Returns the number of inputs run from path, or -1 if it cannot be read.
long replay(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    perror(path.c_str());
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
      perror(path.c_str());
      return -1;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(dir))
      if (e->d_name[0] != '.') names.push_back(path + "/" + e->d_name);
    closedir(dir);
    long runs = 0;
    for (const std::string &name : names) {
      long n = replay(name);
      if (n < 0) return -1;
      runs += n;
    }
    return runs;
  }
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    perror(path.c_str());
    return -1;
  }
  std::vector<uint8_t> data;
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  fclose(f);
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "Usage: %s FILE-OR-FOLDER...\n", argv[0]);
    return 2;
  }
  long runs = 0;
  for (int i = 1; i < argc; i++) {
    long n = replay(argv[i]);
    if (n < 0) return 1;
    runs += n;
  }
  if (runs == 0) {
    fprintf(stderr, "no inputs found\n");
    return 1;
  }
  printf("%ld inputs passed\n", runs);
  return 0;
}
