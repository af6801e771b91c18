// Argvec: the words of one shell command, kept as a growing, null-terminated argument vector.
#pragma once

// A plain record. It owns _arguments (from malloc, grown with realloc; whoever is done with
// the record frees it) but not the words: it stores the pointers it is given, never copies
// or frees the text, so the caller keeps the strings alive while the record is used.
class Argvec {
 public:
  int _numOfAvailableArguments;  // pointer slots in _arguments, always > _numOfArguments
  int _numOfArguments;           // words stored
  char **_arguments;             // the words in insertion order, then a null pointer

  // An empty record: 5 slots, no words, a null pointer in slot 0.
  Argvec();
  // Appends argument, which may be any pointer, null included, and writes a null pointer
  // after it. When only the terminator's slot is left, the slots are doubled first.
  // If memory cannot be had, reports it on standard error and ends the process (status 1).
  void insertArgument(char *argument);
};
