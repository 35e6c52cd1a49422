// The thread guards of threads/threads.hpp driven from plain threads, without Python. The
// same file also builds with ThreadSanitizer (threads_tsan_test), which checks the
// exclusion that these tests rely on.
#include "threads/threads.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

namespace brambleloft {
namespace {

// Stands in for the interpreter: counts how often a thread left it to wait.
struct TestThreads {
  static inline std::atomic<int> leaves{0};
  static inline std::atomic<int> rejoins{0};
  static bool may_sleep() { return true; }
  static int leave() {
    leaves.fetch_add(1);
    return 7;
  }
  static void rejoin(int token) {
    EXPECT_EQ(token, 7);
    rejoins.fetch_add(1);
  }
};

// Both kinds of lock, through the same guard.
template <class Lock>
class Locks : public ::testing::Test {
 protected:
  template <Access kind>
  using Guard = AccessGuard<TestThreads, kind, Lock>;
};
using LockKinds = ::testing::Types<AccessLock<1>, AccessLock<8>>;
TYPED_TEST_SUITE(Locks, LockKinds);

// The kind of refusal a request meets, or nothing if it was granted.
template <class Lock, Access kind>
std::optional<Access> try_access(Lock& lock) {
  try {
    AccessGuard<TestThreads, kind, Lock> access(lock);
    return std::nullopt;
  } catch (const AccessRefused& refused) {
    return refused.wanted;
  }
}

template <class Lock, Access outer, Access inner>
std::optional<Access> refusal_on_reentry() {
  Lock lock;
  AccessGuard<TestThreads, outer, Lock> held(lock);
  return try_access<Lock, inner>(lock);
}

TYPED_TEST(Locks, ReentryOnTheSameThreadIsRefusedAtOnce) {
  using Lock = TypeParam;
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Exclusive, Access::Shared>()), Access::Shared);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Exclusive, Access::Exclusive>()), Access::Exclusive);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Shared, Access::Exclusive>()), Access::Exclusive);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::SharedSerial, Access::Exclusive>()), Access::Exclusive);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Exclusive, Access::SharedSerial>()), Access::Shared);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Shared, Access::Shared>()), std::nullopt);

  Lock lock;
  {
    typename TestFixture::template Guard<Access::Shared> outer(lock);
    typename TestFixture::template Guard<Access::SharedSerial> inner(
        lock);  // shared within shared is allowed
    EXPECT_EQ(lock.borrow_flag(), 2);
  }
  EXPECT_EQ(lock.borrow_flag(), 0);
}

TYPED_TEST(Locks, AnotherThreadsAccessIsWaitedForNotRefused) {
  TypeParam lock;
  std::atomic<bool> holding{false}, release{false}, granted{false};
  const int left_before = TestThreads::leaves.load();
  std::thread holder([&] {
    typename TestFixture::template Guard<Access::Exclusive> held(lock);
    holding = true;
    while (!release) std::this_thread::yield();
  });
  while (!holding) std::this_thread::yield();
  std::thread reader([&] {
    typename TestFixture::template Guard<Access::Shared> read(lock);  // must not throw
    granted = true;
  });
  // The reader stays blocked, outside the interpreter, while the holder holds on.
  while (TestThreads::leaves.load() == left_before) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(granted);
  release = true;
  holder.join();
  reader.join();
  EXPECT_TRUE(granted);
  EXPECT_EQ(TestThreads::leaves.load(), TestThreads::rejoins.load());
  EXPECT_EQ(lock.borrow_flag(), 0);
}

// A thread inside a shared call re-enters it for a query while another thread's change waits
// for that call to end: the query is let in, and the change follows.
TYPED_TEST(Locks, SharedReentryGoesAheadOfAWaitingChange) {
  TypeParam lock;
  std::atomic<bool> writer_started{false}, writer_done{false};
  std::thread writer;
  {
    typename TestFixture::template Guard<Access::Shared> outer(lock);
    const int left_before = TestThreads::leaves.load();
    writer = std::thread([&] {
      writer_started = true;
      typename TestFixture::template Guard<Access::Exclusive> change(lock);
      writer_done = true;
    });
    while (TestThreads::leaves.load() == left_before) std::this_thread::yield();  // the writer sleeps
    {
      typename TestFixture::template Guard<Access::Shared> inner(lock);
      EXPECT_FALSE(writer_done);
    }
    EXPECT_FALSE(writer_done);
  }
  writer.join();
  EXPECT_TRUE(writer_done);
  EXPECT_EQ(lock.borrow_flag(), 0);
}

// Many threads mixing the three kinds on one lock: writers see no one else inside, serial
// sections never overlap, and the plain counters they touch come out exact.
TYPED_TEST(Locks, MixedAccessFromManyThreadsKeepsExclusion) {
  TypeParam lock;
  std::atomic<int> readers_inside{0}, writers_inside{0}, serial_inside{0};
  long long written = 0, serial_runs = 0;  // plain: only exclusion protects them
  constexpr int kThreads = 6, kRounds = 1200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        switch ((i + t) % 3) {
          case 0: {
            typename TestFixture::template Guard<Access::Exclusive> access(lock);
            access.run([&] {
              EXPECT_EQ(writers_inside.fetch_add(1), 0);
              EXPECT_EQ(readers_inside.load(), 0);
              const long long before = written;
              std::this_thread::yield();  // invites the others in, were they not kept out
              written = before + 1;
              writers_inside.fetch_sub(1);
              return 0;
            });
            break;
          }
          case 1: {
            typename TestFixture::template Guard<Access::Shared> access(lock);
            readers_inside.fetch_add(1);
            EXPECT_EQ(writers_inside.load(), 0);
            EXPECT_GE(written, 0);
            std::this_thread::yield();
            readers_inside.fetch_sub(1);
            break;
          }
          default: {
            typename TestFixture::template Guard<Access::SharedSerial> access(lock);
            access.run([&] {
              EXPECT_EQ(serial_inside.fetch_add(1), 0);
              EXPECT_EQ(writers_inside.load(), 0);
              const long long before = serial_runs;
              std::this_thread::yield();
              serial_runs = before + 1;
              serial_inside.fetch_sub(1);
              return 0;
            });
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(written, kThreads * kRounds / 3);
  EXPECT_EQ(serial_runs, kThreads * kRounds / 3);
  EXPECT_EQ(lock.borrow_flag(), 0);
  EXPECT_EQ(TestThreads::leaves.load(), TestThreads::rejoins.load());
}

// A holder that runs Python code may never end its access while others wait: a conflicting
// request is refused at once, one that does not conflict goes ahead.
TYPED_TEST(Locks, AHolderRunningPythonCodeMakesConflictsFailAtOnce) {
  using Lock = TypeParam;
  auto from_another_thread = [](auto request) {
    std::optional<Access> refused;
    std::thread([&] { refused = request(); }).join();
    return refused;
  };
  Lock lock;
  {
    typename TestFixture::template Guard<Access::Exclusive> held(lock);
    RunningPython python;
    EXPECT_EQ(from_another_thread([&] { return try_access<Lock, Access::Shared>(lock); }), Access::Shared);
    EXPECT_EQ(from_another_thread([&] { return try_access<Lock, Access::Exclusive>(lock); }),
              Access::Exclusive);
  }
  {
    typename TestFixture::template Guard<Access::Shared> held(lock);
    RunningPython python;
    EXPECT_EQ(from_another_thread([&] { return try_access<Lock, Access::Exclusive>(lock); }),
              Access::Exclusive);
    EXPECT_EQ(from_another_thread([&] { return try_access<Lock, Access::SharedSerial>(lock); }),
              std::nullopt);
  }
  EXPECT_EQ(lock.borrow_flag(), 0);
}

// A writer already asleep behind a native reader is refused as soon as that reader starts
// running Python code, and a reader queued behind the writer then goes in.
TYPED_TEST(Locks, AWaitEndsWhenAHolderStartsRunningPythonCode) {
  using Lock = TypeParam;
  Lock lock;
  std::optional<Access> writer_refused = Access::SharedSerial, reader_refused = Access::SharedSerial;
  std::thread writer, reader;
  {
    typename TestFixture::template Guard<Access::Shared> held(lock);
    int left_before = TestThreads::leaves.load();
    writer = std::thread([&] { writer_refused = try_access<Lock, Access::Exclusive>(lock); });
    while (TestThreads::leaves.load() == left_before) std::this_thread::yield();
    left_before = TestThreads::leaves.load();
    reader = std::thread([&] { reader_refused = try_access<Lock, Access::Shared>(lock); });
    while (TestThreads::leaves.load() == left_before) std::this_thread::yield();
    RunningPython python;
    writer.join();
    reader.join();
  }
  EXPECT_EQ(writer_refused, Access::Exclusive);
  EXPECT_EQ(reader_refused, std::nullopt);
  EXPECT_EQ(lock.borrow_flag(), 0);
}

// Shared access nested in this thread's own is never refused, whatever writers do meanwhile.
TYPED_TEST(Locks, NestedSharedAccessIsNeverRefusedWhileWritersComeAndGo) {
  using Lock = TypeParam;
  Lock lock;
  std::atomic<bool> stop{false};
  std::atomic<long> changes{0}, refused_changes{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&] {
      while (!stop) (try_access<Lock, Access::Exclusive>(lock) ? refused_changes : changes).fetch_add(1);
    });
  }
  auto attempts = [&] { return changes.load() + refused_changes.load(); };
  while (changes.load() < 100) std::this_thread::yield();
  // Rounds go on until the writers have tried meanwhile: a loaded machine may leave them
  // unscheduled for all of a fixed number of rounds.
  const long attempts_before = attempts();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (long i = 0;
       i < 20000 || (attempts() < attempts_before + 100 && std::chrono::steady_clock::now() < deadline);
       ++i) {
    typename TestFixture::template Guard<Access::SharedSerial> outer(lock);
    RunningPython python;
    ASSERT_EQ((try_access<Lock, Access::SharedSerial>(lock)), std::nullopt) << "round " << i;
  }
  const long attempts_meanwhile = attempts() - attempts_before;
  stop = true;
  for (auto& writer : writers) writer.join();
  EXPECT_GE(attempts_meanwhile, 100);
  EXPECT_EQ(lock.borrow_flag(), 0);
}

// Writers get in while readers keep coming, and readers while writers keep coming.
TYPED_TEST(Locks, NeitherReadersNorWritersStarve) {
  using Lock = TypeParam;
  for (const bool many_writers : {false, true}) {
    Lock lock;
    std::atomic<bool> stop{false};
    std::vector<std::thread> stream;
    for (int t = 0; t < 3; ++t) {
      stream.emplace_back([&] {
        while (!stop) {
          if (many_writers) {
            typename TestFixture::template Guard<Access::Exclusive> access(lock);
            std::this_thread::yield();
          } else {
            typename TestFixture::template Guard<Access::Shared> access(lock);
            std::this_thread::yield();
          }
        }
      });
    }
    for (int i = 0; i < 200; ++i) {
      if (many_writers) {
        typename TestFixture::template Guard<Access::Shared> access(lock);
      } else {
        typename TestFixture::template Guard<Access::Exclusive> access(lock);
      }
    }
    stop = true;
    for (auto& thread : stream) thread.join();
    EXPECT_EQ(lock.borrow_flag(), 0);
  }
}

// After fork() the child has only the forking thread: an access another thread held there is
// refused at once instead of waited for, and the lock works again once nothing old holds it.
TYPED_TEST(Locks, AForkedChildNeverWaitsForAThreadThatIsNotThere) {
  using Lock = TypeParam;
  Lock held_elsewhere, free_lock, read_elsewhere;
  std::atomic<bool> holding{false}, release{false};
  std::thread holder([&] {
    typename TestFixture::template Guard<Access::Exclusive> one(held_elsewhere);
    typename TestFixture::template Guard<Access::Shared> two(read_elsewhere);
    holding = true;
    while (!release) std::this_thread::yield();
  });
  while (!holding) std::this_thread::yield();
  const pid_t child = fork();
  if (child == 0) {
    // 1: the old writer's lock refuses both kinds; 2: the old reader's lock still shares but
    // refuses a writer; 3: an untouched lock serves both.
    int failed = 0;
    if (try_access<Lock, Access::Shared>(held_elsewhere) != Access::Shared) failed |= 1;
    if (try_access<Lock, Access::Exclusive>(held_elsewhere) != Access::Exclusive) failed |= 1;
    if (try_access<Lock, Access::SharedSerial>(read_elsewhere) != std::nullopt) failed |= 2;
    if (try_access<Lock, Access::Exclusive>(read_elsewhere) != Access::Exclusive) failed |= 2;
    if (try_access<Lock, Access::Exclusive>(free_lock) != std::nullopt) failed |= 4;
    if (try_access<Lock, Access::SharedSerial>(free_lock) != std::nullopt) failed |= 4;
    _exit(failed);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 3000 && done == 0; ++i) {  // 30 s: a loaded machine is slow to fork
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  release = true;
  holder.join();
  ASSERT_NE(done, 0) << "the child waited";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's locks are untouched by the fork.
  EXPECT_EQ((try_access<Lock, Access::Exclusive>(held_elsewhere)), std::nullopt);
}

TEST(OnceValue, EveryThreadSeesTheFirstFinishedWholeAndNoneWaits) {
  struct Made {
    int a, b;
  };
  OnceValue<const Made*> once;
  std::atomic<int> makes{0}, discards{0};
  std::vector<const Made*> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      seen[t] = once.get(
          [&] {
            makes.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return static_cast<const Made*>(new Made{1, 2});
          },
          [&](const Made* spare) {
            discards.fetch_add(1);
            delete spare;
          });
      EXPECT_EQ(seen[t]->a + seen[t]->b, 3);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(makes.load(), discards.load() + 1);
  for (const Made* value : seen) EXPECT_EQ(value, seen[0]);
  delete seen[0];
}

TEST(OnceValue, AFailedMakingIsTriedAgainAndReentryKeepsTheFirstFinished) {
  OnceValue<int> once;
  auto discard_nothing = [](int) {};
  EXPECT_THROW(once.get([]() -> int { throw AccessRefused{Access::Shared}; }, discard_nothing),
               AccessRefused);
  EXPECT_EQ(once.peek(-1), -1);

  // The maker's own thread asks again while making: its inner value is kept, the outer one
  // handed to the discard.
  int discarded = 0;
  auto discard = [&](int spare) { discarded = spare; };
  const int got = once.get(
      [&] {
        EXPECT_EQ(once.get([] { return 2; }, discard), 2);
        return 1;
      },
      discard);
  EXPECT_EQ(got, 2);
  EXPECT_EQ(discarded, 1);
  EXPECT_EQ(once.peek(-1), 2);
}

}  // namespace
}  // namespace brambleloft
