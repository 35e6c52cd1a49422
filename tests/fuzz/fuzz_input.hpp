// What every fuzz target shares: reading a structured input out of raw bytes,
// reporting a model mismatch, and keeping the cores' fault reports quiet.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "errors/fault.hpp"
#include "random/generator.hpp"

namespace brambleloft::fuzz {

// Choices come from the front of the input and random draws from the back, so that
// a mutation of one kind seldom shifts everything of the other kind (the layout
// libFuzzer's own data provider uses). Once the input is used up, choices read as
// zeros and draws come from a fixed generator, so every walk still ends.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const noexcept { return size_ == 0; }

  std::uint8_t byte() noexcept {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }

  // A value in [0, bound), bound > 0.
  std::uint32_t below(std::uint32_t bound) noexcept { return byte() % bound; }

  std::string bytes(std::size_t length) {
    length = std::min(length, size_);
    std::string out(reinterpret_cast<const char*>(data_), length);
    data_ += length;
    size_ -= length;
    return out;
  }

  std::uint32_t draw() noexcept {
    if (size_ == 0) return fallback_.next_u32();
    --size_;
    // The top bit, which picks the victim table, is the byte's low bit; the rest
    // only matter to a source that uses more than one bit.
    const std::uint32_t b = data_[size_];
    return (b << 31) | (b << 8) | fallback_.next_u32() >> 24;
  }

 private:
  static constexpr std::uint64_t kFallbackSeed[4] = {1, 2, 3, 4};
  const std::uint8_t* data_;
  std::size_t size_;
  Xoshiro256StarStar fallback_{kFallbackSeed};
};

// Walk draws taken from the input, with an optional failure at the n-th draw to
// exercise the undo path of an insert that cannot finish.
class InputSource final : public RandomSource {
 public:
  explicit InputSource(Input& input, std::uint64_t fail_at = 0) : input_(input), fail_at_(fail_at) {}
  std::uint32_t next_u32() override {
    if (++draws_ == fail_at_) throw std::runtime_error("draw refused");
    return input_.draw();
  }

 private:
  Input& input_;
  std::uint64_t fail_at_;
  std::uint64_t draws_ = 0;
};

// The cores report every fault through stdio's stderr before throwing. Expected
// faults arrive by the thousand while fuzzing, so that stream is pointed at
// /dev/null; sanitizers, libFuzzer and mismatch reports write to the original
// stream or to fd 2 directly. BRAMBLELOFT_FUZZ_VERBOSE=1 keeps the reports.
inline std::FILE* report_stream() {
  static std::FILE* const original = [] {
    std::FILE* const kept = stderr;
    if (std::getenv("BRAMBLELOFT_FUZZ_VERBOSE") == nullptr) {
      if (std::FILE* quiet = std::fopen("/dev/null", "w")) stderr = quiet;
    }
    return kept;
  }();
  return original;
}

// `where` is a source line or a step number, whichever places the mismatch.
[[noreturn]] inline void mismatch(const char* what, std::string_view detail, int where) {
  std::fprintf(report_stream(), "model mismatch at %d: %s [%.*s]\n", where, what,
               static_cast<int>(detail.size()), detail.data());
  std::fflush(report_stream());
  std::abort();
}

// The message of the fault that body raises, or "" when it raises none.
template <class Body>
std::string fault_of(Body&& body) {
  try {
    body();
  } catch (const Fault& fault) {
    return fault.message();
  }
  return "";
}

inline constexpr std::string_view kRemainderFault =
    "attempt to calculate the remainder with a divisor of zero";

}  // namespace brambleloft::fuzz

#define FUZZ_CHECK(condition, detail) \
  ((condition) ? void() : ::brambleloft::fuzz::mismatch(#condition, (detail), __LINE__))
