#include "errors/fault.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdio>

namespace brambleloft {

namespace {
std::atomic<bool> first_report_written{false};
}

void write_fault_report(const std::string& message, const std::source_location& where) noexcept {
  char thread_name[32] = "<unnamed>";
  pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
  std::fprintf(stderr, "thread '%s' hit an internal fault at %s:%u:%u:\n%s\n", thread_name, where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message.c_str());
  if (!first_report_written.exchange(true)) {
    std::fputs(
        "note: for a backtrace, run the program under gdb with 'catch throw' and type 'bt' "
        "when it stops\n",
        stderr);
  }
  std::fflush(stderr);
}

void raise_fault(std::string message, std::source_location where) {
  write_fault_report(message, where);
  throw Fault(std::move(message), where);
}

void resume_fault(std::string message, std::source_location where) { throw Fault(std::move(message), where); }

void raise_bounds_fault(std::uint64_t len, std::uint64_t index, std::source_location where) {
  raise_fault(
      "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index),
      where);
}

}  // namespace brambleloft
