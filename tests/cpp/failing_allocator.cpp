// The allocation counter behind tests/support/failing_allocator.hpp. Out of line,
// because inlined malloc/free pairs trip GCC's new/delete mismatch warning.
#include "support/failing_allocator.hpp"

#include <sys/mman.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace brambleloft::testing_support {
thread_local long allocation_budget = -1;
thread_local long mapped_bytes = 0;
thread_local EntropyFailure entropy_failure;
}  // namespace brambleloft::testing_support

namespace {
using namespace brambleloft::testing_support;
bool allocation_fails() noexcept {
  if (allocation_budget == 0) return true;
  if (allocation_budget > 0) --allocation_budget;
  return false;
}
}  // namespace

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* memory, std::size_t size);
void* __real_mremap(void* address, std::size_t old_length, std::size_t new_length, int flags, ...);
void* __real_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset);
int __real_munmap(void* address, std::size_t length);
int __real_madvise(void* address, std::size_t length, int advice);
long __real_syscall(long number, ...);

void* __wrap_malloc(std::size_t size) { return allocation_fails() ? nullptr : __real_malloc(size); }
void* __wrap_calloc(std::size_t count, std::size_t size) {
  return allocation_fails() ? nullptr : __real_calloc(count, size);
}
void* __wrap_realloc(void* memory, std::size_t size) {
  return allocation_fails() ? nullptr : __real_realloc(memory, size);
}

// Mapping address space and making pages resident count as allocations too.
void* __wrap_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  void* memory = __real_mmap(address, length, protection, flags, fd, offset);
  if (memory != MAP_FAILED) mapped_bytes += static_cast<long>(length);
  return memory;
}
void* __wrap_mremap(void* address, std::size_t old_length, std::size_t new_length, int flags, ...) {
  va_list list;
  va_start(list, flags);
  void* target = va_arg(list, void*);
  va_end(list);
  if (allocation_fails()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  void* memory = __real_mremap(address, old_length, new_length, flags, target);
  // A move onto a fixed target replaces what was mapped there.
  if (memory != MAP_FAILED)
    mapped_bytes +=
        static_cast<long>((flags & MREMAP_FIXED) != 0 ? 0 : new_length) - static_cast<long>(old_length);
  return memory;
}
int __wrap_munmap(void* address, std::size_t length) {
  const int result = __real_munmap(address, length);
  if (result == 0) mapped_bytes -= static_cast<long>(length);
  return result;
}
int __wrap_madvise(void* address, std::size_t length, int advice) {
  if (advice == MADV_POPULATE_WRITE && allocation_fails()) {
    errno = ENOMEM;
    return -1;
  }
  return __real_madvise(address, length, advice);
}

// getrandom fails as entropy_failure says; other system calls pass through.
long __wrap_syscall(long number, ...) {
  va_list list;
  va_start(list, number);
  long arguments[6];
  for (long& argument : arguments) argument = va_arg(list, long);
  va_end(list);
  if (number == SYS_getrandom && entropy_failure.calls > 0) {
    --entropy_failure.calls;
    errno = entropy_failure.error;
    return -1;
  }
  return __real_syscall(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
                        arguments[5]);
}
}

[[gnu::noinline]] void* operator new(std::size_t size) {
  if (allocation_fails()) throw std::bad_alloc();
  if (void* memory = __real_malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
