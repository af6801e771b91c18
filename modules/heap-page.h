// The heap explorer's page: the script form, the examples menu, and one picture of the heap
// per step of a run.
#pragma once

#include <stddef.h>
#include <stdio.h>

namespace heapview {

constexpr int kLongCalls = 1000000;  // heaprun-long's limit: the calls of a recording replayed

struct PageInput {
  const char *script;  // shown in the text area
  size_t scriptLength;
  const char *example;  // the menu's choice, or null
  bool ran;             // whether heaprun ran on the script
  const char *output;   // heaprun's standard output and error, as they came
  size_t outputLength;
  const char *problem;  // why the run is incomplete or missing, or null
  bool check;           // whether heaprun ran under the heap check
};

// Writes the whole HTML page (no header) to out. Every text from the script or the run is
// escaped.
void writePage(FILE *out, const PageInput &in);

// Writes the script of the Worker that reads a program's recording for the page (no header).
void writeRecordingReader(FILE *out);

}  // namespace heapview
