// The thread guards of threads/threads.hpp driven from plain threads, without Python. The
// same file also builds with ThreadSanitizer (threads_tsan_test), which checks the
// exclusion that these tests rely on.
#include "threads/threads.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace brambleloft {
namespace {

struct Refused {
  Access kind;
};

// Stands in for the interpreter: counts how often a thread left it to wait.
struct TestThreads {
  static inline std::atomic<int> leaves{0};
  static inline std::atomic<int> rejoins{0};
  static int leave() {
    leaves.fetch_add(1);
    return 7;
  }
  static void rejoin(int token) {
    EXPECT_EQ(token, 7);
    rejoins.fetch_add(1);
  }
  [[noreturn]] static void refuse(Access kind) { throw Refused{kind}; }
};

// Both kinds of lock, through the same guard.
template <class Lock>
class Locks : public ::testing::Test {
 protected:
  template <Access kind>
  using Guard = AccessGuard<TestThreads, kind, Lock>;
};
using LockKinds = ::testing::Types<InstanceLock, ShardedInstanceLock>;
TYPED_TEST_SUITE(Locks, LockKinds);

template <class Lock, Access outer, Access inner>
Access refusal_on_reentry() {
  Lock lock;
  AccessGuard<TestThreads, outer, Lock> held(lock);
  try {
    AccessGuard<TestThreads, inner, Lock> nested(lock);
  } catch (const Refused& refused) {
    return refused.kind;
  }
  ADD_FAILURE() << "the nested access was granted";
  return Access::SharedSerial;
}

TYPED_TEST(Locks, ReentryOnTheSameThreadIsRefusedAtOnce) {
  using Lock = TypeParam;
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Exclusive, Access::Shared>()), Access::Shared);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Exclusive, Access::Exclusive>()), Access::Exclusive);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Shared, Access::Exclusive>()), Access::Exclusive);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::SharedSerial, Access::Exclusive>()), Access::Exclusive);
  EXPECT_EQ((refusal_on_reentry<Lock, Access::Exclusive, Access::SharedSerial>()), Access::Shared);

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

TEST(OnceValue, MadeOnceUnderRacesAndSeenWholeByEveryThread) {
  struct Made {
    int a, b;
  };
  OnceValue<const Made*> once;
  std::atomic<int> makes{0};
  std::vector<const Made*> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      seen[t] = once.get<TestThreads>(
          [&] {
            makes.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return static_cast<const Made*>(new Made{1, 2});
          },
          [](const Made* spare) { delete spare; });
      EXPECT_EQ(seen[t]->a + seen[t]->b, 3);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(makes.load(), 1);
  for (const Made* value : seen) EXPECT_EQ(value, seen[0]);
  delete seen[0];
}

TEST(OnceValue, AFailedMakingIsTriedAgainAndReentryKeepsTheFirstFinished) {
  OnceValue<int> once;
  auto discard_nothing = [](int) {};
  EXPECT_THROW(once.get<TestThreads>([]() -> int { throw Refused{Access::Shared}; }, discard_nothing),
               Refused);
  EXPECT_EQ(once.peek(-1), -1);

  // The maker's own thread asks again while making: its inner value is kept, the outer one
  // handed to the discard.
  int discarded = 0;
  auto discard = [&](int spare) { discarded = spare; };
  const int got = once.get<TestThreads>(
      [&] {
        EXPECT_EQ(once.get<TestThreads>([] { return 2; }, discard), 2);
        return 1;
      },
      discard);
  EXPECT_EQ(got, 2);
  EXPECT_EQ(discarded, 1);
  EXPECT_EQ(once.peek(-1), 2);
}

}  // namespace
}  // namespace brambleloft
