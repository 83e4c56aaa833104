#include "platform/named_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/shared_memory.h"
#include "platform/tests/child_process.h"

namespace zyp::platform {
namespace {

using zyp::testing::ChildProcess;
using Clock = std::chrono::steady_clock;

// A child that creates `name` (owning it or not), reports, and stays until killed.
int hold_mutex(ChildProcess& self, const char* name, bool owned) {
  auto mutex = NamedMutex::create(name, owned);
  if (!mutex) return 1;
  self.tell_parent();
  ChildProcess::hang();
}

TEST(NamedMutex, KilledOwnerLeavesTheMutexFree) {
  ChildProcess owner([](ChildProcess& self) { return hold_mutex(self, "M", true); });
  ASSERT_EQ(owner.hear_from_child(), 'r');
  EXPECT_TRUE(NamedMutex::held_by_another_process("M"));
  auto mutex = NamedMutex::open("M");
  ASSERT_TRUE(mutex);
  EXPECT_EQ(mutex->wait(0), WaitResult::Timeout);

  owner.kill();
  EXPECT_FALSE(NamedMutex::held_by_another_process("M"));
  EXPECT_EQ(mutex->wait(2000), WaitResult::Signaled);
  EXPECT_TRUE(mutex->release());
}

TEST(NamedMutex, CreateReportsAnotherProcessesHandleAndDeniesOwnership) {
  for (bool child_owns : {true, false}) {
    SCOPED_TRACE(child_owns ? "child owns it" : "child only has it open");
    ChildProcess holder([child_owns](ChildProcess& self) { return hold_mutex(self, "UNIQUE", child_owns); });
    ASSERT_EQ(holder.hear_from_child(), 'r');

    bool existed = false;
    auto second = NamedMutex::create("UNIQUE", true, &existed);
    ASSERT_TRUE(second);
    EXPECT_TRUE(existed);
    EXPECT_EQ(last_error(), kErrorAlreadyExists);
    EXPECT_FALSE(second->release()) << "an existing mutex must not be handed over by create";
    second.reset();

    holder.kill();
    auto first = NamedMutex::create("UNIQUE", true, &existed);
    ASSERT_TRUE(first);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(first->release()) << "a new mutex created owned belongs to its creator";
  }
}

TEST(NamedMutex, OpenNeedsALiveHandle) {
  EXPECT_FALSE(NamedMutex::open("NOBODY"));
  EXPECT_EQ(last_error(), kErrorFileNotFound);

  ChildProcess holder([](ChildProcess& self) { return hold_mutex(self, "NOBODY", false); });
  ASSERT_EQ(holder.hear_from_child(), 'r');
  EXPECT_TRUE(NamedMutex::open("NOBODY"));

  holder.kill();
  EXPECT_FALSE(NamedMutex::open("NOBODY"));
  EXPECT_EQ(last_error(), kErrorFileNotFound);
}

TEST(NamedMutex, TimedWaitGivesUpAfterTheTimeout) {
  ChildProcess owner([](ChildProcess& self) { return hold_mutex(self, "BUSY", true); });
  ASSERT_EQ(owner.hear_from_child(), 'r');
  auto mutex = NamedMutex::open("BUSY");
  ASSERT_TRUE(mutex);

  auto start = Clock::now();
  EXPECT_EQ(mutex->wait(200), WaitResult::Timeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(last_error(), kErrorTimeout);
  EXPECT_FALSE(mutex->release());
}

TEST(NamedMutex, OwnershipIsPerThreadAndRecursive) {
  auto mutex = NamedMutex::create("R", false);
  ASSERT_TRUE(mutex);
  ASSERT_EQ(mutex->wait(0), WaitResult::Signaled);
  ASSERT_EQ(mutex->wait(0), WaitResult::Signaled);

  auto other_thread_try = [&] {
    WaitResult got = WaitResult::Failed;
    std::thread([&] {
      got = mutex->wait(50);
      if (got == WaitResult::Signaled) mutex->release();
    }).join();
    return got;
  };
  bool foreign_release = true;
  std::thread([&] { foreign_release = mutex->release(); }).join();
  EXPECT_FALSE(foreign_release);

  EXPECT_TRUE(mutex->release());
  EXPECT_EQ(other_thread_try(), WaitResult::Timeout) << "one release of two waits must keep ownership";
  EXPECT_TRUE(mutex->release());
  EXPECT_EQ(other_thread_try(), WaitResult::Signaled);
  EXPECT_FALSE(mutex->release());
  EXPECT_EQ(last_error(), 288u);
}

// Threads sharing one object, and threads using their own objects of the
// same name, must never be inside together.
TEST(NamedMutex, ThreadsExcludeEachOther) {
  for (bool shared_object : {true, false}) {
    SCOPED_TRACE(shared_object ? "one object" : "one object per thread");
    auto common = NamedMutex::create("T", false);
    ASSERT_TRUE(common);
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        auto own = shared_object ? nullptr : NamedMutex::open("T");
        NamedMutex* mutex = shared_object ? common.get() : own.get();
        if (!mutex) return void(++failures);
        for (int i = 0; i < 200; ++i) {
          // Alternate unlimited and limited waits: they take different paths.
          if (mutex->wait(i % 2 ? kInfinite : 10000) != WaitResult::Signaled) return void(++failures);
          if (inside.fetch_add(1) != 0) ++overlaps;
          int seen = counter;
          std::this_thread::yield();
          counter = seen + 1;
          inside.fetch_sub(1);
          if (!mutex->release()) ++failures;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(counter, 800);
  }
}

// A thread that releases and at once waits again must not go ahead of a
// thread that was waiting already (it would keep it waiting, and wake it in
// vain, for as long as it goes on).
TEST(NamedMutex, AThreadThatWaitsAgainGoesBehindTheThreadAlreadyWaiting) {
  auto mutex = NamedMutex::create("FAIR", false);
  ASSERT_TRUE(mutex);
  ASSERT_EQ(mutex->wait(0), WaitResult::Signaled);
  std::atomic<bool> waiter_started{false};
  std::atomic<int> turns{0};
  int waiter_turn = 0;
  std::thread waiter([&] {
    waiter_started = true;
    if (mutex->wait(10000) != WaitResult::Signaled) return;
    waiter_turn = ++turns;
    mutex->release();
  });
  while (!waiter_started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time to join the line

  ASSERT_TRUE(mutex->release());
  ASSERT_EQ(mutex->wait(10000), WaitResult::Signaled);
  int releaser_turn = ++turns;
  mutex->release();
  waiter.join();
  EXPECT_EQ(waiter_turn, 1);
  EXPECT_EQ(releaser_turn, 2);
}

TEST(NamedMutex, ProcessesExcludeEachOther) {
  auto keep = SharedMemory::create("counter", sizeof(int));
  ASSERT_TRUE(keep);
  auto body = [](ChildProcess&) {
    auto mutex = NamedMutex::create("P", false);
    auto memory = SharedMemory::open("counter");
    if (!mutex || !memory) return 1;
    volatile int* counter = static_cast<int*>(memory->data());
    for (int i = 0; i < 300; ++i) {
      if (mutex->wait(kInfinite) != WaitResult::Signaled) return 2;
      int seen = *counter;
      if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      *counter = seen + 1;
      mutex->release();
    }
    return 0;
  };
  ChildProcess a(body), b(body), c(body);
  EXPECT_EQ(a.join(), 0);
  EXPECT_EQ(b.join(), 0);
  EXPECT_EQ(c.join(), 0);
  EXPECT_EQ(*static_cast<int*>(keep->data()), 900);
}

}  // namespace
}  // namespace zyp::platform
