// Link glue that lets the module, built against zig's musl headers (1.2.5), load on every musl from 1.2.0
// on (the musllinux_1_2 policy). Only the module links this file (CMake option BRAMBLELOFT_MUSLLINUX).
//
// musl has no symbol versions: a reference to a function that a system's musl lacks stops the module from
// loading there at all. The linker routes each reference listed in CMakeLists.txt (--wrap=NAME) to
// __wrap_NAME below, which calls the real function through a weak reference where the system has it and
// otherwise does the work itself, as the real one would for this module's calls.

#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

extern "C" {

// Since musl 1.2.3.
int __real_pthread_getname_np(pthread_t thread, char* name, std::size_t size) __attribute__((weak));

int __wrap_pthread_getname_np(pthread_t thread, char* name, std::size_t size) {
  if (__real_pthread_getname_np != nullptr) {
    return __real_pthread_getname_np(thread, name, size);
  }
  // musl reads the name from the kernel; the module only ever asks about the calling thread.
  if (!pthread_equal(thread, pthread_self())) {
    return ENOSYS;
  }
  std::FILE* comm = std::fopen("/proc/thread-self/comm", "re");
  if (comm == nullptr) {
    return errno;
  }
  char text[32];
  const bool got = std::fgets(text, sizeof text, comm) != nullptr;
  std::fclose(comm);
  if (!got) {
    return EIO;
  }
  text[std::strcspn(text, "\n")] = '\0';
  const std::size_t length = std::strlen(text);
  if (length >= size) {
    return ERANGE;
  }
  std::memcpy(name, text, length + 1);
  return 0;
}

}  // extern "C"
