// Everything that guards our instances and one-time values against other threads.
//
// An instance's lock admits many shared accesses or one exclusive access. The rule that keeps
// every wait finite: a call waits for an instance only while every call holding it runs native
// code, which ends without waiting on anything but the brief native serial section of a query.
// A holder that runs Python code under its access (an argument's __index__) says so
// (RunningPython), and from then on a conflicting call is refused at once, as is every
// conflict with a call of the same thread. So no wait can be part of a cycle, Python-level
// locks included, and with a GIL every conflict is refused at once: only a holder running
// Python code can let another thread run.
//
// No Python here: the interpreter comes in through a policy type with
//   static bool may_sleep();    // false while the interpreter finalizes: a thread asleep then
//                               // may never come back, so nobody waits for it
//   static Token leave();       // detach from the interpreter before sleeping (PyEval_SaveThread)
//   static void rejoin(Token);  // attach again; may end the thread by forced unwinding
// so that the C++ tests can drive all of it from plain threads under ThreadSanitizer.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace brambleloft {

// SharedSerial is shared access as far as the lock and re-entry go, but one call at a time
// across threads: for queries that use scratch space kept in the instance.
enum class Access { Shared, Exclusive, SharedSerial };

// A request refused at once; the boundary turns it into the interpreter's error. `wanted` is
// Shared or Exclusive.
struct AccessRefused {
  Access wanted;
};

// What glibc throws through our frames when a thread is ended (pthread_exit, as CPython up to
// 3.13 does to a daemon thread at exit). It must pass every catch untouched; elsewhere threads
// end without unwinding, and this type is never thrown.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif
// Catching it binds a reference to an object that is not there (the unwinding is not a C++
// exception), which UBSan's null check reports: functions that catch it carry this.
#define BRAMBLELOFT_CATCHES_FORCED_UNWIND [[gnu::no_sanitize("null")]]

namespace detail {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Each forked child starts a new generation, kept in the bits where a lock's control word
// records the generation of its holders: holders from before the fork never leave there.
inline constexpr unsigned kGenerationShift = 44;
inline constexpr std::uint64_t kGenerationMask = ~std::uint64_t{0} << kGenerationShift;
inline constinit std::atomic<std::uint64_t> fork_generation{0};

inline std::uint64_t current_generation() noexcept {
  static const bool watching = [] {
    pthread_atfork(nullptr, nullptr, [] {
      fork_generation.store(
          fork_generation.load(std::memory_order_relaxed) + (std::uint64_t{1} << kGenerationShift),
          std::memory_order_relaxed);
    });
    return true;
  }();
  static_cast<void>(watching);
  return fork_generation.load(std::memory_order_relaxed);
}

}  // namespace detail

// What every instance lock has, whatever counts its readers: the control word, and the event
// count that sleepers wait on.
//
// The control word, from the low bits: the writer (none, waiting for readers to leave, or
// active), the readers' turn (set when a writer leaves with readers queued: no writer may
// start until they are in), the serial section's bit, the number of holders running Python
// code, the number of queued readers, and the fork generation of the holders.
class LockBase {
 public:
  LockBase() noexcept : control_(detail::current_generation()) {}

  // Holders running Python code, counted for conflicting calls to see.
  void python_begins() noexcept {
    control_.fetch_add(kPython, std::memory_order_seq_cst);
    signal();
  }
  void python_ends() noexcept {
    control_.fetch_sub(kPython, std::memory_order_seq_cst);
    signal();
  }

  // The serial section of a SharedSerial call: native code only, so its wait is short.
  template <class Policy>
  void enter_serial() {
    std::uint64_t c = control_.load(std::memory_order_relaxed);
    if (!(c & kSerial) && control_.compare_exchange_strong(c, c | kSerial, std::memory_order_acquire))
        [[likely]]
      return;
    const bool entered = wait_while<Policy>(false, [this]() -> std::optional<bool> {
      for (std::uint64_t c = control_.load(std::memory_order_seq_cst);;) {
        // A serial section held since before a fork never ends in the child.
        if (c & kSerial) return stale(c) ? std::optional<bool>(false) : std::nullopt;
        if (control_.compare_exchange_weak(c, c | kSerial, std::memory_order_seq_cst)) return true;
      }
    });
    if (!entered) throw AccessRefused{Access::Shared};
  }
  void leave_serial() noexcept {
    control_.fetch_and(~kSerial, std::memory_order_seq_cst);
    signal();
  }

 protected:
  static constexpr std::uint64_t kWriterMask = 3, kWriterWaiting = 1, kWriterActive = 2;
  static constexpr std::uint64_t kReadersTurn = 1 << 2, kSerial = 1 << 3;
  static constexpr unsigned kPythonShift = 4, kQueuedShift = 24;
  static constexpr std::uint64_t kPython = std::uint64_t{1} << kPythonShift;
  static constexpr std::uint64_t kPythonMask = (std::uint64_t{1} << kQueuedShift) - kPython;
  static constexpr std::uint64_t kQueued = std::uint64_t{1} << kQueuedShift;
  static constexpr std::uint64_t kQueuedMask = (std::uint64_t{1} << detail::kGenerationShift) - kQueued;

  static std::uint64_t writer(std::uint64_t c) noexcept { return c & kWriterMask; }
  static bool python(std::uint64_t c) noexcept { return (c & kPythonMask) != 0; }
  static bool stale(std::uint64_t c) noexcept {
    return ((c ^ detail::fork_generation.load(std::memory_order_relaxed)) & detail::kGenerationMask) != 0;
  }

  // Wakes the sleepers after a change of the lock's state (made with a seq_cst write); a
  // sleeper counts itself before it reads the state, so either it sees the change or the
  // change sees it.
  void signal() noexcept {
    if (sleepers_.load(std::memory_order_seq_cst) != 0) [[unlikely]] {
      changes_.fetch_add(1, std::memory_order_seq_cst);
      changes_.notify_all();
    }
  }

  // Calls `decide` until it gives an answer: first spinning briefly (most conflicts between
  // native calls last a few hundred nanoseconds), then outside the interpreter, asleep until
  // the lock changes; `refused` where sleeping is not allowed. `decide` may change the lock but
  // never throws.
  template <class Policy, class Answer, class Decide>
  Answer wait_while(Answer refused, Decide&& decide) {
    for (int i = 0; i < 80; ++i) {
      if (auto answer = decide()) return *answer;
      if (i < 64) {
        detail::cpu_relax();
      } else {
        std::this_thread::yield();
      }
    }
    if (!Policy::may_sleep()) return refused;
    auto token = Policy::leave();
    std::optional<Answer> answer;
    {
      struct Sleeping {
        std::atomic<std::uint32_t>& sleepers;
        explicit Sleeping(std::atomic<std::uint32_t>& s) : sleepers(s) {
          sleepers.fetch_add(1, std::memory_order_seq_cst);
        }
        ~Sleeping() { sleepers.fetch_sub(1, std::memory_order_relaxed); }
      } sleeping(sleepers_);
      for (;;) {
        const std::uint32_t seen = changes_.load(std::memory_order_seq_cst);
        if ((answer = decide())) break;
        changes_.wait(seen, std::memory_order_seq_cst);
      }
    }
    Policy::rejoin(std::move(token));
    return *answer;
  }

  std::atomic<std::uint64_t> control_;
  std::atomic<std::uint32_t> changes_{0};
  std::atomic<std::uint32_t> sleepers_{0};
};

// How a thread holds a lock already, if it does.
enum class Held { No, Shared, Exclusive };

// An instance's lock. Readers count on kShards counters of their own, chosen by thread: with
// calls that really run at once (no GIL), readers on different cores then do not take turns
// writing one cache line; with a GIL one counter is the cheapest. A reader counts itself first
// and then looks for a writer; a writer announces itself first and then looks for readers: of
// two that meet, at least one sees the other.
template <unsigned kShards>
class AccessLock : public LockBase {
 public:
  template <Access kind>
  bool try_take() noexcept {
    const std::uint64_t generation = detail::fork_generation.load(std::memory_order_relaxed);
    if constexpr (kind == Access::Exclusive) {
      std::uint64_t free = generation;
      if (!control_.compare_exchange_strong(free, generation | kWriterWaiting, std::memory_order_seq_cst))
        return false;
      if (readers() != 0) [[unlikely]] {
        step_writer_back();
        return false;
      }
      control_.fetch_add(kWriterActive - kWriterWaiting, std::memory_order_seq_cst);
      return true;
    } else {
      auto& mine = my_count();
      mine.fetch_add(1, std::memory_order_seq_cst);
      const std::uint64_t c = control_.load(std::memory_order_seq_cst);
      if (((c ^ generation) & (kWriterMask | detail::kGenerationMask)) == 0) [[likely]]
        return true;
      release_shared(mine);
      return false;
    }
  }

  template <Access kind>
  void give_up() noexcept {
    if constexpr (kind == Access::Exclusive) {
      // The readers queued behind this writer go before the next one.
      std::uint64_t c = control_.load(std::memory_order_relaxed);
      while (!control_.compare_exchange_weak(c, (c & ~kWriterMask) | ((c & kQueuedMask) ? kReadersTurn : 0),
                                             std::memory_order_seq_cst)) {
      }
      signal();
    } else {
      release_shared(my_count());
    }
  }

  // The request after try_take failed, by a thread that holds the lock already as `held`.
  template <class Policy, Access kind>
  void take_slow(Held held) {
    if (held != Held::No) {
      // Our own call holds it: waiting would never end. Shared access within shared access
      // is let in, even past a waiting writer, which waits for the outer access anyway.
      if (kind == Access::Exclusive || held == Held::Exclusive)
        throw AccessRefused{kind == Access::Exclusive ? Access::Exclusive : Access::Shared};
      my_count().fetch_add(1, std::memory_order_seq_cst);
    } else if constexpr (kind == Access::Exclusive) {
      take_exclusive<Policy>();
    } else {
      take_shared<Policy>();
    }
  }

  // In the terms of a borrow flag: n > 0 shared accesses, -1 an exclusive one.
  std::int64_t borrow_flag() const noexcept {
    return writer(control_.load(std::memory_order_relaxed)) == kWriterActive ? -1 : readers();
  }

 private:
  enum class Outcome { Taken, Refused };

  struct Padded {
    std::atomic<std::int64_t> count{0};
    // Padded rather than aligned: the interpreter aligns objects to 16 bytes only, and counts
    // 64 bytes apart never share a line either way.
    char padding[56];
  };
  struct Single {
    std::atomic<std::int64_t> count{0};
  };
  using Counter = std::conditional_t<(kShards > 1), Padded, Single>;

  std::atomic<std::int64_t>& my_count() noexcept {
    if constexpr (kShards == 1) {
      return counts_[0].count;
    } else {
      static constinit std::atomic<unsigned> next{0};
      static constinit thread_local unsigned shard = kShards;
      if (shard == kShards) [[unlikely]]
        shard = next.fetch_add(1, std::memory_order_relaxed) % kShards;
      return counts_[shard].count;
    }
  }
  std::int64_t readers() const noexcept {
    std::int64_t sum = 0;
    for (const Counter& c : counts_) sum += c.count.load(std::memory_order_seq_cst);
    return sum;
  }
  void release_shared(std::atomic<std::int64_t>& mine) noexcept {
    mine.fetch_sub(1, std::memory_order_seq_cst);
    // Only a waiting writer waits for readers to leave.
    if (writer(control_.load(std::memory_order_seq_cst)) == kWriterWaiting) [[unlikely]]
      signal();
  }
  void step_writer_back() noexcept {
    control_.fetch_and(~kWriterMask, std::memory_order_seq_cst);
    signal();
  }

  // With our own count in: whether we may stay, must leave again and wait, or are refused.
  std::optional<Outcome> admit_reader() noexcept {
    const std::uint64_t c = control_.load(std::memory_order_seq_cst);
    if (stale(c)) {
      // Holders from before a fork: shared access still goes with theirs; a writer never ends.
      if (writer(c) == 0) {
        if (readers() == 1) {
          // No one else holds it: the lock starts afresh in this generation.
          std::uint64_t seen = c;
          control_.compare_exchange_strong(seen, detail::fork_generation.load(std::memory_order_relaxed),
                                           std::memory_order_seq_cst);
        }
        return Outcome::Taken;
      }
      release_shared(my_count());
      return Outcome::Refused;
    }
    // A writer that waits while a holder runs Python code is about to be refused.
    if (writer(c) == 0 || (writer(c) == kWriterWaiting && python(c))) return Outcome::Taken;
    release_shared(my_count());
    if (writer(c) == kWriterActive && python(c)) return Outcome::Refused;
    return std::nullopt;
  }

  template <class Policy>
  void take_shared() {
    my_count().fetch_add(1, std::memory_order_seq_cst);
    std::optional<Outcome> outcome = admit_reader();
    if (!outcome) {
      control_.fetch_add(kQueued, std::memory_order_seq_cst);
      struct Queued {
        AccessLock& lock;
        ~Queued() {
          // The last of the queued readers ends their turn.
          std::uint64_t c = lock.control_.load(std::memory_order_relaxed);
          std::uint64_t next;
          do {
            next = c - kQueued;
            if ((next & kQueuedMask) == 0) next &= ~kReadersTurn;
          } while (!lock.control_.compare_exchange_weak(c, next, std::memory_order_seq_cst));
          lock.signal();
        }
      } queued{*this};
      outcome = wait_while<Policy>(Outcome::Refused, [this]() -> std::optional<Outcome> {
        const std::uint64_t c = control_.load(std::memory_order_seq_cst);
        if (!stale(c) && writer(c) != 0 && !python(c)) return std::nullopt;  // still a native writer
        my_count().fetch_add(1, std::memory_order_seq_cst);
        return admit_reader();
      });
    }
    if (*outcome == Outcome::Refused) throw AccessRefused{Access::Shared};
  }

  template <class Policy>
  void take_exclusive() {
    struct Claim {
      AccessLock& lock;
      bool held = false;
      ~Claim() {
        if (held) lock.step_writer_back();
      }
    } claim{*this};
    const Outcome outcome = wait_while<Policy>(Outcome::Refused, [this, &claim]() -> std::optional<Outcome> {
      for (std::uint64_t c = control_.load(std::memory_order_seq_cst);;
           c = control_.load(std::memory_order_seq_cst)) {
        if (claim.held) {
          // A reader that runs Python code now would make this wait endless.
          if (python(c)) return Outcome::Refused;
          if (readers() != 0) return std::nullopt;
          control_.fetch_add(kWriterActive - kWriterWaiting, std::memory_order_seq_cst);
          claim.held = false;
          return Outcome::Taken;
        }
        std::uint64_t claimed;
        if (stale(c)) {
          // Holders from before a fork never leave; a free lock starts afresh.
          if (writer(c) != 0 || readers() != 0) return Outcome::Refused;
          claimed = detail::fork_generation.load(std::memory_order_relaxed) | kWriterWaiting;
        } else {
          if (python(c)) return Outcome::Refused;
          if (writer(c) != 0 || (c & kReadersTurn)) return std::nullopt;
          claimed = c | kWriterWaiting;
        }
        if (control_.compare_exchange_strong(c, claimed, std::memory_order_seq_cst)) claim.held = true;
      }
    });
    if (outcome == Outcome::Refused) throw AccessRefused{Access::Exclusive};
  }

  Counter counts_[kShards];
};

// The accesses this thread holds, innermost first, each a guard on its stack.
struct Holding {
  LockBase* lock;
  bool exclusive;
  const Holding* outer;
};
inline constinit thread_local const Holding* held_by_this_thread = nullptr;

inline Held this_thread_holds(const LockBase& lock) noexcept {
  Held held = Held::No;
  for (const Holding* h = held_by_this_thread; h != nullptr; h = h->outer) {
    if (h->lock == &lock) {
      if (h->exclusive) return Held::Exclusive;
      held = Held::Shared;
    }
  }
  return held;
}

// Holds one call's access and gives it up on every path out.
template <class Policy, Access kind, class Lock>
class AccessGuard {
 public:
  explicit AccessGuard(Lock& lock)
      : lock_(lock), holding_{&lock, kind == Access::Exclusive, held_by_this_thread} {
    if (!lock_.template try_take<kind>()) [[unlikely]]
      take_slow();
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
  [[gnu::noinline]] void take_slow() { lock_.template take_slow<Policy, kind>(this_thread_holds(lock_)); }

  Lock& lock_;
  Holding holding_;
};

// Marks, for its lifetime, that the innermost access this thread holds runs Python code: from
// then on a conflicting call from another thread is refused instead of waiting for it.
class RunningPython {
 public:
  RunningPython() noexcept : lock_(held_by_this_thread ? held_by_this_thread->lock : nullptr) {
    if (lock_) lock_->python_begins();
  }
  ~RunningPython() {
    if (lock_) lock_->python_ends();
  }
  RunningPython(const RunningPython&) = delete;
  RunningPython& operator=(const RunningPython&) = delete;

 private:
  LockBase* lock_;
};

// A process-wide value made once, on first need. No thread waits for another to make it (the
// making may run Python code): each that finds it missing makes one, the first finished is
// kept, and the others hand theirs to `discard`.
template <class T>
class OnceValue {
 public:
  constexpr OnceValue() = default;

  template <class Make, class Discard>
  T get(Make&& make, Discard&& discard) {
    if (state_.load(std::memory_order_acquire) == kMade) [[likely]]
      return value_;
    return get_slow(make, discard);
  }
  // The value if it was made, else `fallback`; never makes it.
  T peek(T fallback) const noexcept {
    return state_.load(std::memory_order_acquire) == kMade ? value_ : fallback;
  }

 private:
  static constexpr std::uint32_t kNone = 0, kStoring = 1, kMade = 2;

  template <class Make, class Discard>
  [[gnu::noinline]] T get_slow(Make& make, Discard& discard) {
    T made = make();
    std::uint32_t state = kNone;
    if (state_.compare_exchange_strong(state, kStoring, std::memory_order_acquire)) {
      value_ = made;
      state_.store(kMade, std::memory_order_release);
      return made;
    }
    // The first one is being stored: two plain writes away.
    while (state_.load(std::memory_order_acquire) != kMade) detail::cpu_relax();
    discard(made);
    return value_;
  }

  T value_{};
  std::atomic<std::uint32_t> state_{kNone};
};

}  // namespace brambleloft
