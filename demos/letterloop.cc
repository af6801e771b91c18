// letterloop: prints the letter C for ever, until a signal from outside ends the program.
// Usage: letterloop
#include <stdio.h>

namespace {

// Prints text over and over and never returns. It takes its text through one pointer, the
// shape of a thread body's argument. No newline is printed, so the letters leave the
// stream's buffer a buffer-full at a time.
[[noreturn]] void printC(const char *text) {
  for (;;) printf("%s", text);
}

}  // namespace

int main() { printC("C"); }
