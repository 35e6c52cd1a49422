// Allocation failures on demand for the core tests. While a budget is set, that many
// more allocations succeed and the next one fails: operator new throws std::bad_alloc,
// and malloc, calloc, realloc, mmap, mremap and madvise(MADV_POPULATE_WRITE) called
// from the cores (wrapped at link time) fail as they do when memory runs out.
#pragma once

#include <new>

namespace brambleloft::testing_support {

extern thread_local long allocation_budget;  // -1: no failures
extern thread_local long mapped_bytes;       // mapped by this thread and not unmapped

// The next `calls` getrandom system calls fail with errno `error`.
struct EntropyFailure {
  int calls = 0;
  int error = 0;
};
extern thread_local EntropyFailure entropy_failure;

// Runs `operate` on a fresh `make()` with allocation k failing, for k = 0, 1, ...
// until it completes without reaching the failure; after each failed run,
// `check(subject, k)` must find the subject as it was. Returns how many
// allocations the operation made, or -1 if it never completed.
template <class Make, class Operate, class Check>
int sweep_allocation_failures(Make make, Operate operate, Check check) {
  for (int k = 0; k < 4096; ++k) {
    auto subject = make();
    allocation_budget = k;
    bool failed = false;
    try {
      operate(subject);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    allocation_budget = -1;
    if (!failed) return k;
    check(subject, k);
  }
  return -1;
}

}  // namespace brambleloft::testing_support
