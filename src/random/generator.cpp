#include "random/generator.hpp"

#include <optional>

#include "random/entropy.hpp"

namespace brambleloft {

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }

class LazilySeeded final : public RandomSource {
 public:
  std::uint32_t next_u32() override {
    if (!engine_) {
      std::uint64_t seed[4] = {};
      do {
        fill_from_os_entropy(seed, sizeof seed, "the random generator");
      } while ((seed[0] | seed[1] | seed[2] | seed[3]) == 0);  // the all-zero state is a fixed point
      engine_.emplace(seed);
    }
    return engine_->next_u32();
  }

 private:
  std::optional<Xoshiro256StarStar> engine_;
};

}  // namespace

Xoshiro256StarStar::Xoshiro256StarStar(const std::uint64_t (&seed)[4]) noexcept
    : s_{seed[0], seed[1], seed[2], seed[3]} {}

std::uint64_t Xoshiro256StarStar::next_u64() noexcept {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

RandomSource& thread_generator() noexcept {
  thread_local LazilySeeded generator;
  return generator;
}

}  // namespace brambleloft
