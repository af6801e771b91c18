// Each exercise program's steps, as the heap explorer's examples write them once
// (modules/heap-examples.h), replayed at the program's own scale on a ProgramRun.
#include "exercise_scripts.h"

#include <errno.h>

#include <map>

#include "heap-examples.h"

namespace exercises {
namespace {

using heapview::ExerciseOp;

void replay(ProgramRun &r, const ExerciseOp *ops, size_t n) {
  std::map<std::string, Pointer> held;  // by name
  Pointer last;
  char name[64];
  for (size_t i = 0; i < n; i++) {
    const ExerciseOp &op = ops[i];
    switch (op.kind) {
      case ExerciseOp::Puts:
        r.puts(op.text);
        break;
      case ExerciseOp::Write:
        r.write(op.text);
        break;
      case ExerciseOp::List:
        r.printList();
        break;
      case ExerciseOp::Malloc:
        for (int k = 0; k < op.programCount; k++) {
          heapview::exerciseName(name, sizeof name, op.text, k, op.programCount);
          held[name] = last = r.malloc(op.size);
        }
        break;
      case ExerciseOp::Free:
        r.free(std::string(op.text) == "null" ? std::nullopt : held.at(op.text));
        break;
      case ExerciseOp::FreeEvens:
        for (int k = 0, count = heapview::exerciseCount(ops, n, op.text, false); k < count; k += 2)
          r.free(held.at(op.text + std::to_string(k)));
        break;
      case ExerciseOp::Check:
        r.puts(!last && (op.size == 0 || r.errorNumber() == ENOMEM) ? op.text : op.other);
        break;
    }
  }
}

}  // namespace

const std::vector<Exercise> &deterministicExercises() {
  static const std::vector<Exercise> all = [] {
    std::vector<Exercise> programs = {{"test0", heapview::kTest0, std::size(heapview::kTest0)}};
    for (const heapview::HeapExample &e : heapview::kHeapExamples)
      if (e.ops != nullptr) programs.push_back({e.name, e.ops, e.opCount});
    return programs;
  }();
  return all;
}

void Exercise::run(ProgramRun &r) const { replay(r, ops, opCount); }

}  // namespace exercises
