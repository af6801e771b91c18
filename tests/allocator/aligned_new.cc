// C++17 aligned new under LD_PRELOAD=libmymalloc.so: libstdc++ takes such
// blocks with aligned_alloc, and they must come back to MyMalloc's free.
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <vector>

struct alignas(64) Line {
  char bytes[64];
};
struct alignas(4096) Page {
  char bytes[100];
};

int main() {
  std::vector<std::unique_ptr<Line>> lines;
  for (int i = 0; i < 1000; i++) {
    lines.push_back(std::make_unique<Line>());
    if (reinterpret_cast<uintptr_t>(lines.back().get()) % 64 != 0) return 1;
    lines.back()->bytes[63] = static_cast<char>(i);
    if (i % 3 == 0) lines[i / 2].reset();
  }
  auto *pages = new Page[3];
  if (reinterpret_cast<uintptr_t>(pages) % 4096 != 0) return 1;
  delete[] pages;
  puts("aligned new ok");
  return 0;
}
