#include "random/entropy.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "errors/fault.hpp"

namespace brambleloft {

void fill_from_os_entropy(void* buffer, std::size_t size, const char* purpose) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    // The system call itself, not glibc's wrapper: the wrapper only exists from glibc
    // 2.25, and the module must load on older systems too.
    const long got = syscall(SYS_getrandom, out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      raise_fault(std::string("initialising ") + purpose + " failed: " + std::strerror(err) + " (os error " +
                  std::to_string(err) + ")");
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
}

std::uint64_t fresh_hash_key() {
  // splitmix64 over a per-thread OS seed: distinct, unpredictable keys per container.
  thread_local std::uint64_t state = [] {
    std::uint64_t seed;
    fill_from_os_entropy(&seed, sizeof seed, "the hash key source");
    return seed;
  }();
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace brambleloft
