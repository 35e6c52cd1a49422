// x % d for a divisor fixed between growths, by multiplication instead of `div`.
//
// Lemire, Kaser and Kurz ("Faster remainder by direct computation", 2019), Theorem 1:
// with c = ceil(2^F / d) and 2^F <= c*d <= 2^F + 2^(F-N), every N-bit n satisfies
//   n % d == floor(((c*n) mod 2^F) * d / 2^F).
// Since c*d - 2^F < d, the condition holds whenever d <= 2^(F-N). So:
//  - 64-bit digests use F = 128: exact for every d < 2^64 = 2^(128-64);
//  - 32-bit digests use F = 64: exact for d <= 2^32; a larger d exceeds every
//    32-bit digest, which is then its own remainder.
// c is kept modulo 2^F: for d = 1 it wraps to 0, which still gives 0 == n % 1
// because only (c*n) mod 2^F enters the formula. ~0/d + 1 equals ceil(2^F/d) for
// every d, powers of two included.
#pragma once

#include <cstdint>
#include <source_location>

#include "errors/fault.hpp"

namespace brambleloft {

class Remainder {
 public:
  explicit Remainder(std::uint64_t divisor) noexcept
      : divisor_(divisor),
        c128_(divisor == 0 ? 0 : ~static_cast<unsigned __int128>(0) / divisor + 1),
        c64_(divisor == 0 ? 0 : ~std::uint64_t{0} / divisor + 1) {}

  std::uint64_t divisor() const noexcept { return divisor_; }

  // Raises the remainder fault for the divisor 0, exactly where `%` would.
  void check(std::source_location where = std::source_location::current()) const {
    if (divisor_ == 0) [[unlikely]]
      raise_fault("attempt to calculate the remainder with a divisor of zero", where);
  }

  std::uint64_t of64(std::uint64_t n, std::source_location where = std::source_location::current()) const {
    check(where);
    const unsigned __int128 low = c128_ * n;  // (c*n) mod 2^128
    // floor(low * d / 2^128) from the two 64-bit halves of `low`, without overflow:
    // hi*d + floor(lo*d / 2^64) <= (2^64-1)^2 + 2^64-1 < 2^128.
    const unsigned __int128 lo_part =
        (static_cast<std::uint64_t>(low) * static_cast<unsigned __int128>(divisor_)) >> 64;
    const unsigned __int128 hi_part =
        static_cast<std::uint64_t>(low >> 64) * static_cast<unsigned __int128>(divisor_);
    return static_cast<std::uint64_t>((hi_part + lo_part) >> 64);
  }

  std::uint64_t of32(std::uint32_t n, std::source_location where = std::source_location::current()) const {
    check(where);
    if (divisor_ > 0xFFFFFFFFu) return n;
    const std::uint64_t low = c64_ * n;  // (c*n) mod 2^64
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(low) * divisor_) >> 64);
  }

 private:
  std::uint64_t divisor_;
  unsigned __int128 c128_;
  std::uint64_t c64_;
};

}  // namespace brambleloft
