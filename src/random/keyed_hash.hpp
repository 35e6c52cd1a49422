// Randomly keyed hashers for the graph's hash containers.
//
// Node names come from the caller, so an unkeyed hash would let a caller pick names
// that all land in one bucket and turn every lookup linear (hash flooding). Each
// default-constructed hasher draws its own key; a container copies its hasher, so
// every container keeps one key for its whole life and no two containers share one.
// Nothing may depend on the resulting iteration order, which differs per container.
#pragma once

#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "random/entropy.hpp"

namespace brambleloft {

class KeyedIndexHash {
 public:
  KeyedIndexHash() : key_(fresh_hash_key()) {}

  std::size_t operator()(std::uint64_t index) const noexcept {
    return static_cast<std::size_t>(XXH3_64bits_withSeed(&index, sizeof index, key_));
  }

 private:
  std::uint64_t key_;
};

// Transparent, so that a map keyed by std::string is searched with a std::string_view
// without copying the name first.
class KeyedStringHash {
 public:
  using is_transparent = void;

  KeyedStringHash() : key_(fresh_hash_key()) {}

  std::size_t operator()(std::string_view bytes) const noexcept {
    return static_cast<std::size_t>(XXH3_64bits_withSeed(bytes.data(), bytes.size(), key_));
  }

 private:
  std::uint64_t key_;
};

}  // namespace brambleloft
