// The source of the random draws that steer a cuckoo walk.
#pragma once

#include <cstdint>

namespace brambleloft {

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual std::uint32_t next_u32() = 0;
};

// xoshiro256** (Blackman and Vigna): fast, small state, good statistical quality.
class Xoshiro256StarStar final : public RandomSource {
 public:
  explicit Xoshiro256StarStar(const std::uint64_t (&seed)[4]) noexcept;
  std::uint64_t next_u64() noexcept;
  // The high half: the generator's strongest bits.
  std::uint32_t next_u32() noexcept override { return static_cast<std::uint32_t>(next_u64() >> 32); }

 private:
  std::uint64_t s_[4];
};

// The calling thread's generator. It is seeded from the OS at its first draw in the
// thread, not at creation, so a thread that never displaces a pair never asks the
// OS; a seeding failure is an internal fault raised from that first draw.
RandomSource& thread_generator() noexcept;

}  // namespace brambleloft
