// The call sequences of the single-threaded exercise programs, replayed
// against the allocator model to predict each program's whole output.
#pragma once

#include <string>
#include <vector>

#include "heap-examples.h"
#include "heap_model.h"

namespace exercises {

struct Exercise {
  std::string name;  // the program's name in the build's bin directory
  const heapview::ExerciseOp *ops;
  size_t opCount;
  void run(ProgramRun &run) const;
};

// The fourteen programs whose output is fixed (test9's depends on its threads).
const std::vector<Exercise> &deterministicExercises();

}  // namespace exercises
