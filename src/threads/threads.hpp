// Everything that guards our instances and one-time values against other threads.
//
// An instance's access flag admits many shared accesses or one exclusive access. A request
// that conflicts with a call of this same thread (re-entry from Python code run while an
// argument is converted) is refused at once, as it always was; one that conflicts with another
// thread waits its turn. A waiting thread leaves the interpreter first, so that the thread it
// waits for can take the GIL, and so that a free-threaded interpreter's stop-the-world pause
// never waits for it.
//
// No Python here: the interpreter comes in through a policy type with
//   static Token leave();            // detach from the interpreter (PyEval_SaveThread)
//   static void rejoin(Token);       // attach again
//   [[noreturn]] static void refuse(Access);   // throw the re-entry error
// so that the C++ tests can drive all of it from plain threads under ThreadSanitizer.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>

namespace brambleloft {

// SharedSerial is shared access as far as the flag and re-entry go, but one call at a time
// across threads: for queries that use scratch space kept in the instance.
enum class Access { Shared, Exclusive, SharedSerial };

namespace detail {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Waits, outside the interpreter, until `ready` holds. `word` is the atomic whose change may
// make it hold; `waiting` counts the threads asleep on it, so that the releasing side pays for
// a wake-up only when someone sleeps.
template <class Policy, class Word, class Ready>
void wait_until(std::atomic<Word>& word, std::atomic<std::uint32_t>& waiting, Ready&& ready) {
  // Most conflicts between threads last a few hundred nanoseconds: spin briefly first, then
  // offer the core to the thread we wait for, and only then sleep.
  for (int i = 0; i < 80; ++i) {
    if (ready(word.load(std::memory_order_relaxed))) return;
    if (i < 64) {
      cpu_relax();
    } else {
      std::this_thread::yield();
    }
  }
  auto token = Policy::leave();
  waiting.fetch_add(1, std::memory_order_seq_cst);
  for (Word seen = word.load(std::memory_order_seq_cst); !ready(seen);
       seen = word.load(std::memory_order_seq_cst)) {
    word.wait(seen, std::memory_order_seq_cst);
  }
  waiting.fetch_sub(1, std::memory_order_relaxed);
  Policy::rejoin(std::move(token));
}

// Wakes the sleepers of wait_until after `word` changed (with a seq_cst write).
template <class Word>
void wake(std::atomic<Word>& word, const std::atomic<std::uint32_t>& waiting) noexcept {
  if (waiting.load(std::memory_order_seq_cst) != 0) [[unlikely]]
    word.notify_all();
}

}  // namespace detail

// What both kinds of instance lock share: the serial section of a SharedSerial call, and the
// count of threads asleep on any of the lock's words.
class LockBase {
 public:
  // It runs no Python code, so it cannot be re-entered.
  template <class Policy>
  void enter_serial() {
    std::uint32_t expected = 0;
    while (
        !serial_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      detail::wait_until<Policy>(serial_, waiting_, [](std::uint32_t busy) { return busy == 0; });
      expected = 0;
    }
  }
  void leave_serial() noexcept {
    serial_.store(0, std::memory_order_seq_cst);
    detail::wake(serial_, waiting_);
  }

 protected:
  std::atomic<std::uint32_t> serial_{0};
  std::atomic<std::uint32_t> waiting_{0};
};

// One signed flag: 0 free, n > 0 shared accesses, -1 one exclusive access. The cheapest where
// calls never run at once (with the GIL).
class InstanceLock : public LockBase {
 public:
  bool try_borrow() noexcept {
    std::int64_t current = flag_.load(std::memory_order_relaxed);
    do {
      if (current == -1) return false;
    } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    return true;
  }
  void release_borrow() noexcept {
    // Only the last shared access out can let an exclusive one in.
    if (flag_.fetch_sub(1, std::memory_order_seq_cst) == 1) detail::wake(flag_, waiting_);
  }
  bool try_borrow_mut() noexcept {
    std::int64_t expected = 0;
    return flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_borrow_mut() noexcept {
    flag_.store(0, std::memory_order_seq_cst);
    detail::wake(flag_, waiting_);
  }
  std::int64_t borrow_flag() const noexcept { return flag_.load(std::memory_order_relaxed); }

  template <Access kind>
  bool try_take() noexcept {
    if constexpr (kind == Access::Exclusive) {
      return try_borrow_mut();
    } else {
      return try_borrow();
    }
  }
  template <Access kind>
  void give_up() noexcept {
    if constexpr (kind == Access::Exclusive) {
      release_borrow_mut();
    } else {
      release_borrow();
    }
  }
  // For a thread that holds the lock already: shared access within shared access.
  template <Access kind>
  bool take_again() noexcept {
    return kind != Access::Exclusive && try_borrow();
  }
  // For a thread that does not hold it: waits its turn.
  template <class Policy, Access kind>
  void take_waiting() {
    do {
      detail::wait_until<Policy>(flag_, waiting_, [](std::int64_t flag) {
        return kind == Access::Exclusive ? flag == 0 : flag != -1;
      });
    } while (!try_take<kind>());
  }

 private:
  std::atomic<std::int64_t> flag_{0};
};

// For calls that really run at once (no GIL): shared accesses are counted on one of several
// cache lines, chosen by thread, so that readers on different cores do not take turns writing
// one line. An exclusive access first keeps new readers out (`writer_`), then waits for the
// counts to drain.
class ShardedInstanceLock : public LockBase {
 public:
  static constexpr unsigned kShards = 8;

  template <Access kind>
  bool try_take() noexcept {
    if constexpr (kind == Access::Exclusive) {
      std::uint32_t none = kNone;
      if (!writer_.compare_exchange_strong(none, kActive, std::memory_order_seq_cst)) return false;
      if (readers() == 0) return true;
      writer_.store(kNone, std::memory_order_seq_cst);
      detail::wake(writer_, waiting_);
      return false;
    } else {
      std::atomic<std::int64_t>& mine = my_shard();
      mine.fetch_add(1, std::memory_order_seq_cst);
      if (writer_.load(std::memory_order_seq_cst) == kNone) [[likely]]
        return true;
      release_shared(mine);
      return false;
    }
  }
  template <Access kind>
  void give_up() noexcept {
    if constexpr (kind == Access::Exclusive) {
      writer_.store(kNone, std::memory_order_seq_cst);
      detail::wake(writer_, waiting_);
    } else {
      release_shared(my_shard());
    }
  }
  // For a thread that holds the lock already: shared access within shared access, even while
  // a writer waits for this thread's outer access to end.
  template <Access kind>
  bool take_again() noexcept {
    if (kind == Access::Exclusive || writer_.load(std::memory_order_seq_cst) == kActive) return false;
    my_shard().fetch_add(1, std::memory_order_seq_cst);
    return true;
  }
  // For a thread that does not hold it: waits its turn.
  template <class Policy, Access kind>
  void take_waiting() {
    if constexpr (kind == Access::Exclusive) {
      std::uint32_t none = kNone;
      while (!writer_.compare_exchange_strong(none, kWaiting, std::memory_order_seq_cst)) {
        detail::wait_until<Policy>(writer_, waiting_, [](std::uint32_t w) { return w == kNone; });
        none = kNone;
      }
      detail::wait_until<Policy>(drained_, waiting_, [this](std::uint32_t) { return readers() == 0; });
      writer_.store(kActive, std::memory_order_seq_cst);
    } else {
      do {
        detail::wait_until<Policy>(writer_, waiting_, [](std::uint32_t w) { return w == kNone; });
      } while (!try_take<kind>());
    }
  }
  // In the flag's terms: n > 0 shared accesses, -1 an exclusive one.
  std::int64_t borrow_flag() const noexcept {
    return writer_.load(std::memory_order_relaxed) == kActive ? -1 : readers();
  }

 private:
  static constexpr std::uint32_t kNone = 0, kWaiting = 1, kActive = 2;
  // Padded rather than aligned: the interpreter aligns objects to 16 bytes only, and counts 64
  // bytes apart never share a line either way.
  struct Shard {
    std::atomic<std::int64_t> count{0};
    char padding[56];
  };

  std::atomic<std::int64_t>& my_shard() noexcept {
    static constinit std::atomic<unsigned> next{0};
    static constinit thread_local unsigned shard = kShards;
    if (shard == kShards) [[unlikely]]
      shard = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return shards_[shard].count;
  }
  std::int64_t readers() const noexcept {
    std::int64_t sum = 0;
    for (const Shard& s : shards_) sum += s.count.load(std::memory_order_seq_cst);
    return sum;
  }
  void release_shared(std::atomic<std::int64_t>& mine) noexcept {
    mine.fetch_sub(1, std::memory_order_seq_cst);
    if (writer_.load(std::memory_order_seq_cst) == kWaiting) [[unlikely]] {
      drained_.fetch_add(1, std::memory_order_seq_cst);
      detail::wake(drained_, waiting_);
    }
  }

  Shard shards_[kShards];
  std::atomic<std::uint32_t> writer_{kNone};
  std::atomic<std::uint32_t> drained_{0};  // bumped for a waiting writer as readers leave
};

// Tells threads apart without a call: the address of a variable each thread has its own of.
inline constinit thread_local char thread_marker = 0;
inline std::uintptr_t this_thread_id() noexcept { return reinterpret_cast<std::uintptr_t>(&thread_marker); }

// The accesses this thread holds, innermost first, each a guard on its stack.
struct Holding {
  const LockBase* lock;
  const Holding* outer;
};
inline constinit thread_local const Holding* held_by_this_thread = nullptr;

inline bool this_thread_holds(const LockBase& lock) noexcept {
  for (const Holding* h = held_by_this_thread; h != nullptr; h = h->outer) {
    if (h->lock == &lock) return true;
  }
  return false;
}

// Holds one call's access and gives it up on every path out.
template <class Policy, Access kind, class Lock = InstanceLock>
class AccessGuard {
 public:
  explicit AccessGuard(Lock& lock) : lock_(lock), holding_{&lock, held_by_this_thread} {
    if (!lock_.template try_take<kind>()) [[unlikely]]
      wait_for_turn();
    held_by_this_thread = &holding_;
  }
  ~AccessGuard() {
    held_by_this_thread = holding_.outer;
    lock_.template give_up<kind>();
  }
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;

  // Runs the operation, one call at a time across threads where the kind asks for it.
  template <class F>
  decltype(auto) run(F&& operation) {
    if constexpr (kind == Access::SharedSerial) {
      lock_.template enter_serial<Policy>();
      struct Leave {
        Lock& lock;
        ~Leave() { lock.leave_serial(); }
      } leave{lock_};
      return operation();
    } else {
      return operation();
    }
  }

 private:
  [[gnu::noinline]] void wait_for_turn() {
    if (this_thread_holds(lock_)) {
      // Our own call holds it: waiting would never end.
      if (!lock_.template take_again<kind>())
        Policy::refuse(kind == Access::Exclusive ? Access::Exclusive : Access::Shared);
      return;
    }
    lock_.template take_waiting<Policy, kind>();
  }

  Lock& lock_;
  Holding holding_;
};

// A process-wide value made once, on first need. Other threads wait for the one that makes it;
// the maker's own thread, re-entering while it makes it (Python code run by the making), makes
// one of its own, and the first one finished is kept.
template <class T>
class OnceValue {
 public:
  constexpr OnceValue() = default;

  template <class Policy, class Make, class Discard>
  T get(Make&& make, Discard&& discard) {
    if (state_.load(std::memory_order_acquire) == kMade) [[likely]]
      return value_;
    return get_slow<Policy>(make, discard);
  }
  // The value if it was made, else `fallback`; never makes it.
  T peek(T fallback) const noexcept {
    return state_.load(std::memory_order_acquire) == kMade ? value_ : fallback;
  }

 private:
  static constexpr std::uint32_t kNone = 0, kMaking = 1, kMade = 2;

  template <class Policy, class Make, class Discard>
  [[gnu::noinline]] T get_slow(Make& make, Discard& discard) {
    const std::uintptr_t me = this_thread_id();
    for (;;) {
      std::uint32_t state = kNone;
      if (state_.compare_exchange_strong(state, kMaking, std::memory_order_acquire)) {
        maker_.store(me, std::memory_order_relaxed);
        return make_and_keep(make, discard, true);
      }
      if (state == kMade) return value_;
      if (maker_.load(std::memory_order_relaxed) == me) return make_and_keep(make, discard, false);
      // The compare-and-exchange above reads the state again with acquire ordering.
      detail::wait_until<Policy>(state_, waiting_, [](std::uint32_t s) { return s != kMaking; });
    }
  }

  template <class Make, class Discard>
  T make_and_keep(Make& make, Discard& discard, bool first) {
    T made;
    try {
      made = make();
    } catch (...) {
      // Nothing is kept: a later call tries again.
      if (first && state_.load(std::memory_order_relaxed) == kMaking) finish(kNone);
      throw;
    }
    if (state_.load(std::memory_order_relaxed) == kMade) {
      discard(made);
      return value_;
    }
    value_ = made;
    finish(kMade);
    return made;
  }

  void finish(std::uint32_t state) noexcept {
    maker_.store(0, std::memory_order_relaxed);
    state_.store(state, std::memory_order_seq_cst);
    detail::wake(state_, waiting_);
  }

  T value_{};
  std::atomic<std::uint32_t> state_{kNone};
  std::atomic<std::uint32_t> waiting_{0};
  std::atomic<std::uintptr_t> maker_{0};
};

}  // namespace brambleloft
