// The allocation counter behind tests/support/failing_allocator.hpp. Out of line,
// because inlined malloc/free pairs trip GCC's new/delete mismatch warning.
#include "support/failing_allocator.hpp"

#include <cstdlib>

namespace brambleloft::testing_support {
thread_local long allocation_budget = -1;
}  // namespace brambleloft::testing_support

namespace {
using brambleloft::testing_support::allocation_budget;
bool allocation_fails() noexcept {
  if (allocation_budget == 0) return true;
  if (allocation_budget > 0) --allocation_budget;
  return false;
}
}  // namespace

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __wrap_malloc(std::size_t size) { return allocation_fails() ? nullptr : __real_malloc(size); }
void* __wrap_calloc(std::size_t count, std::size_t size) {
  return allocation_fails() ? nullptr : __real_calloc(count, size);
}
}

[[gnu::noinline]] void* operator new(std::size_t size) {
  if (allocation_fails()) throw std::bad_alloc();
  if (void* memory = __real_malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
