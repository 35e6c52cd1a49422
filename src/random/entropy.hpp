// Randomness, in one place: the OS entropy source (here), the per-thread walk
// generator (generator.hpp) and the keyed hashers of the graph (keyed_hash.hpp).
//
// Seeds drawn from the operating system's entropy source. A failure is an
// internal fault that names the OS error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brambleloft {

void fill_from_os_entropy(void* buffer, std::size_t size, const char* purpose);

// A fresh 64-bit key for one keyed hash container. Keys come from a per-thread
// stream seeded once from the OS, so making a container costs no system call.
std::uint64_t fresh_hash_key();

}  // namespace brambleloft
