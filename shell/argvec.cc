// Argvec: appending words to one command's argument vector, doubling its slots as it fills.
#include "argvec.h"

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include <type_traits>

// A plain record, fields in their declared order, readable from C or a debugger.
static_assert(std::is_standard_layout_v<Argvec> && !std::is_polymorphic_v<Argvec>);
static_assert(offsetof(Argvec, _numOfAvailableArguments) == 0 &&
              offsetof(Argvec, _numOfArguments) == sizeof(int) &&
              offsetof(Argvec, _arguments) == 2 * sizeof(int));

namespace {

constexpr int kInitialSlots = 5;

// A record that cannot get its array cannot keep a word: the process ends rather than
// lose one or write through a null pointer.
[[noreturn]] void outOfMemory(const char *call) {
  perror(call);
  exit(1);
}

// Bytes in an array of `slots` pointers.
size_t bytesFor(int slots) { return static_cast<size_t>(slots) * sizeof(char *); }

}  // namespace

Argvec::Argvec() {
  _numOfAvailableArguments = kInitialSlots;
  _numOfArguments = 0;
  _arguments = static_cast<char **>(malloc(bytesFor(_numOfAvailableArguments)));
  if (_arguments == nullptr) outOfMemory("malloc");
  _arguments[0] = nullptr;  // an empty record is already a valid, empty vector
}

void Argvec::insertArgument(char *argument) {
  if (_numOfAvailableArguments == _numOfArguments + 1) {  // only the terminator's slot left
    if (_numOfAvailableArguments > INT_MAX / 2) {
      errno = ENOMEM;
      outOfMemory("realloc");
    }
    const int slots = 2 * _numOfAvailableArguments;
    char **grown = static_cast<char **>(realloc(_arguments, bytesFor(slots)));
    if (grown == nullptr) outOfMemory("realloc");
    _arguments = grown;
    _numOfAvailableArguments = slots;
  }
  _arguments[_numOfArguments] = argument;
  _arguments[_numOfArguments + 1] = nullptr;
  _numOfArguments++;
}
