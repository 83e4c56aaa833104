#include "platform/named_event.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/shared_memory.h"
#include "platform/tests/child_process.h"

namespace zyp::platform {
namespace {

using zyp::testing::ChildProcess;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Children that wait for "E" once and count their wake-ups in a shared block.
struct Waiters {
  std::unique_ptr<SharedMemory> counter = SharedMemory::create("wakeups", sizeof(uint32_t));
  std::vector<std::unique_ptr<ChildProcess>> children;

  void start(int count, uint32_t timeout_ms) {
    for (int i = 0; i < count; ++i) {
      children.push_back(std::make_unique<ChildProcess>([timeout_ms](ChildProcess& self) {
        auto event = NamedEvent::open("E");
        auto memory = SharedMemory::open("wakeups");
        if (!event || !memory) return 1;
        self.tell_parent();
        if (event->wait(timeout_ms) != WaitResult::Signaled) return 2;
        std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(memory->data())).fetch_add(1);
        return 0;
      }));
      ASSERT_EQ(children.back()->hear_from_child(), 'r');
    }
    std::this_thread::sleep_for(100ms);  // let them reach their waits
  }
  uint32_t wakeups() const { return std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(counter->data())).load(); }
  // Waits up to 5 s for `count` wake-ups, then a little longer to catch extra ones.
  uint32_t wakeups_after_settling(uint32_t count) const {
    for (auto end = Clock::now() + 5s; wakeups() < count && Clock::now() < end;) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    return wakeups();
  }
};

TEST(NamedEvent, AutoResetSetReleasesExactlyOneWaiter) {
  auto event = NamedEvent::create("E", false, false);
  ASSERT_TRUE(event);
  Waiters waiters;
  waiters.start(4, 20000);
  EXPECT_EQ(waiters.wakeups(), 0u);
  for (uint32_t set = 1; set <= 4; ++set) {
    ASSERT_TRUE(event->set());
    EXPECT_EQ(waiters.wakeups_after_settling(set), set);
  }
  for (auto& child : waiters.children) EXPECT_EQ(child->join(), 0);
  EXPECT_EQ(event->wait(0), WaitResult::Timeout) << "every set was taken by a waiter";
}

TEST(NamedEvent, ManualResetReleasesAllWaitersAndStaysSet) {
  auto event = NamedEvent::create("E", true, false);
  ASSERT_TRUE(event);
  Waiters waiters;
  waiters.start(4, 20000);
  ASSERT_TRUE(event->set());
  EXPECT_EQ(waiters.wakeups_after_settling(4), 4u);
  for (auto& child : waiters.children) EXPECT_EQ(child->join(), 0);

  EXPECT_EQ(event->wait(0), WaitResult::Signaled);
  EXPECT_EQ(event->wait(0), WaitResult::Signaled);
  ASSERT_TRUE(event->reset());
  EXPECT_EQ(event->wait(0), WaitResult::Timeout);
}

TEST(NamedEvent, KilledWaiterDoesNotBreakTheEvent) {
  auto event = NamedEvent::create("E", false, false);
  ASSERT_TRUE(event);
  Waiters doomed, survivor;
  doomed.start(2, kInfinite);
  doomed.children[0]->kill();
  survivor.start(1, 20000);
  doomed.children[1]->kill();

  ASSERT_TRUE(event->set());
  EXPECT_EQ(survivor.children[0]->join(), 0);
  EXPECT_EQ(event->wait(0), WaitResult::Timeout);
  ASSERT_TRUE(event->set());
  EXPECT_EQ(event->wait(0), WaitResult::Signaled);
}

// Two tests of a fresh event in a row, with nobody else waiting.
TEST(NamedEvent, StateWithoutOtherWaiters) {
  struct Case {
    bool manual, initially_set, set_before;
    WaitResult first, second;
  } cases[] = {
      {false, false, false, WaitResult::Timeout, WaitResult::Timeout},
      {false, true, false, WaitResult::Signaled, WaitResult::Timeout},
      {false, false, true, WaitResult::Signaled, WaitResult::Timeout},
      {false, true, true, WaitResult::Signaled, WaitResult::Timeout},  // a second set of a set event adds nothing
      {true, false, false, WaitResult::Timeout, WaitResult::Timeout},
      {true, true, false, WaitResult::Signaled, WaitResult::Signaled},
      {true, false, true, WaitResult::Signaled, WaitResult::Signaled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "manual " << c.manual << " initially " << c.initially_set << " set "
                                      << c.set_before);
    auto event = NamedEvent::create("S", c.manual, c.initially_set);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->manual_reset(), c.manual);
    if (c.set_before) event->set();
    EXPECT_EQ(event->wait(0), c.first);
    EXPECT_EQ(event->wait(0), c.second);
  }
}

TEST(NamedEvent, TimedWaitGivesUpAfterTheTimeout) {
  auto event = NamedEvent::create("E", false, false);
  ASSERT_TRUE(event);
  auto start = Clock::now();
  EXPECT_EQ(event->wait(150), WaitResult::Timeout);
  EXPECT_GE(Clock::now() - start, 150ms);
  EXPECT_EQ(last_error(), kErrorTimeout);
}

TEST(NamedEvent, SetFromAnotherThreadEndsAnUnlimitedWait) {
  auto event = NamedEvent::create("E", false, false);
  auto other = NamedEvent::open("E");
  ASSERT_TRUE(event && other);
  std::thread setter([&] {
    std::this_thread::sleep_for(50ms);
    other->set();
  });
  EXPECT_EQ(event->wait(kInfinite), WaitResult::Signaled);
  setter.join();
}

// Keeps the calling process on the first processor it may use until the
// object goes. Processes forked meanwhile stay there too.
class OnOneProcessor {
 public:
  OnOneProcessor() {
    CPU_ZERO(&allowed_);
    if (::sched_getaffinity(0, sizeof allowed_, &allowed_) != 0) return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed_)) continue;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      pinned_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
      return;
    }
  }
  ~OnOneProcessor() {
    if (pinned_) ::sched_setaffinity(0, sizeof allowed_, &allowed_);
  }
  bool pinned() const { return pinned_; }

 private:
  cpu_set_t allowed_;
  bool pinned_ = false;
};

// Two processes answer each other many times, each answer coming at once,
// a little later, or after the waiter has gone to sleep: no set may be lost,
// however it falls between a waiter's watching, counting itself a sleeper
// and sleeping. Also when both share one processor although the process
// started with several: then a waiter whose setter ran on its own processor
// goes to sleep at once instead of watching.
TEST(NamedEvent, PingPongBetweenProcessesLosesNoSet) {
  constexpr int kExchanges = 400;
  for (bool share_one_processor : {false, true}) {
    SCOPED_TRACE(share_one_processor ? "on one processor" : "on any processor");
    auto ping = NamedEvent::create("PING", false, false);
    auto pong = NamedEvent::create("PONG", false, false);
    ASSERT_TRUE(ping && pong);
    EXPECT_EQ(ping->wait(1), WaitResult::Timeout);  // looks at the processors it may use before the pinning
    std::unique_ptr<OnOneProcessor> pinning;
    if (share_one_processor) {
      pinning = std::make_unique<OnOneProcessor>();
      ASSERT_TRUE(pinning->pinned());
    }
    ChildProcess answerer([](ChildProcess&) {
      auto ping = NamedEvent::open("PING");
      auto pong = NamedEvent::open("PONG");
      if (!ping || !pong) return 1;
      for (int i = 0; i < kExchanges; ++i) {
        if (ping->wait(5000) != WaitResult::Signaled) return 2;
        std::this_thread::sleep_for(std::chrono::microseconds((i % 4) * 40));
        pong->set();
      }
      return 0;
    });
    int answered = 0;
    for (int i = 0; i < kExchanges; ++i) {
      if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));  // the answerer sleeps
      ping->set();
      if (pong->wait(5000) != WaitResult::Signaled) break;
      ++answered;
    }
    EXPECT_EQ(answered, kExchanges);
    EXPECT_EQ(answerer.join(), 0);
  }
}

TEST(NamedEvent, ExistingEventKeepsItsKindAndState) {
  auto first = NamedEvent::create("K", true, true);
  ASSERT_TRUE(first);
  bool existed = false;
  auto second = NamedEvent::create("K", false, false, &existed);
  ASSERT_TRUE(second);
  EXPECT_TRUE(existed);
  EXPECT_EQ(last_error(), kErrorAlreadyExists);
  EXPECT_TRUE(second->manual_reset());
  EXPECT_EQ(second->wait(0), WaitResult::Signaled);
}

TEST(NamedEvent, OpenNeedsALiveHandle) {
  EXPECT_FALSE(NamedEvent::open("GONE"));
  EXPECT_EQ(last_error(), kErrorFileNotFound);

  ChildProcess creator([](ChildProcess& self) {
    auto event = NamedEvent::create("GONE", true, true);
    if (!event) return 1;
    self.tell_parent();
    ChildProcess::hang();
  });
  ASSERT_EQ(creator.hear_from_child(), 'r');
  auto opened = NamedEvent::open("GONE");
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->wait(0), WaitResult::Signaled);
  opened.reset();

  creator.kill();
  EXPECT_FALSE(NamedEvent::open("GONE"));
  EXPECT_EQ(last_error(), kErrorFileNotFound);
  bool existed = true;
  auto fresh = NamedEvent::create("GONE", false, false, &existed);
  ASSERT_TRUE(fresh);
  EXPECT_FALSE(existed);
  EXPECT_EQ(fresh->wait(0), WaitResult::Timeout) << "a new event starts from its own arguments";
}

}  // namespace
}  // namespace zyp::platform
