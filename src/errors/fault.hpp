// Internal faults: failures inside our own code that no caller can recover from.
// They are plain C++ exceptions so that the native cores stay free of Python; the
// boundary's trap turns one into the Python-visible internal-fault exception.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace brambleloft {

class Fault : public std::exception {
 public:
  Fault(std::string message, std::source_location where) noexcept
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the standard-error report (the first one in the process adds a hint on
// getting a backtrace), then throws. Every fault goes through here so that the
// report is written exactly where the fault arises.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

// Throws without a report: for a fault whose report was already written, such as
// one resumed after it travelled through Python code.
[[noreturn]] void resume_fault(std::string message,
                               std::source_location where = std::source_location::current());

void write_fault_report(const std::string& message, const std::source_location& where) noexcept;

[[noreturn]] void raise_bounds_fault(std::uint64_t len, std::uint64_t index,
                                     std::source_location where = std::source_location::current());

inline void check_index(std::uint64_t index, std::uint64_t len,
                        std::source_location where = std::source_location::current()) {
  if (index >= len) raise_bounds_fault(len, index, where);
}

inline std::uint64_t checked_remainder(std::uint64_t value, std::uint64_t divisor,
                                       std::source_location where = std::source_location::current()) {
  if (divisor == 0) raise_fault("attempt to calculate the remainder with a divisor of zero", where);
  return value % divisor;
}

// A requested array length whose storage would exceed what can be addressed.
template <class Vector>
void check_array_length(const Vector& v, std::uint64_t length,
                        std::source_location where = std::source_location::current()) {
  if (length > v.max_size()) raise_fault("capacity overflow", where);
}

}  // namespace brambleloft
