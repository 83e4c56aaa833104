// The cycling icon: the thread shows the icons in turn, and stopping wakes
// and ends it at once, also in the middle of a long delay.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "toolbox/icon_cycle.h"
#include "toolbox/tests/ui_resources.h"
#include "zyp/zyptools.h"

namespace zyp::tools::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Frames {
 public:
  IconCycle::DrawFrame recorder() {
    return [this](size_t frame) {
      std::lock_guard<std::mutex> hold(lock_);
      drawn_.push_back(frame);
    };
  }
  std::vector<size_t> drawn() {
    std::lock_guard<std::mutex> hold(lock_);
    return drawn_;
  }
  // Waits (at most 10 s) until `count` frames were drawn.
  bool wait_for(size_t count) {
    for (auto give_up = Clock::now() + 10s; Clock::now() < give_up; std::this_thread::sleep_for(1ms)) {
      if (drawn().size() >= count) return true;
    }
    return false;
  }

 private:
  std::mutex lock_;
  std::vector<size_t> drawn_;
};

TEST(IconCycle, ShowsTheIconsInTurnUntilStopped) {
  Frames frames;
  IconCycle cycle(3, 1, frames.recorder());
  ASSERT_TRUE(frames.wait_for(7));
  cycle.stop();
  std::vector<size_t> drawn = frames.drawn();
  for (size_t i = 0; i < drawn.size(); ++i) EXPECT_EQ(drawn[i], i % 3) << "frame " << i;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(frames.drawn().size(), drawn.size()) << "nothing is drawn after stop() returned";
}

TEST(IconCycle, StopDoesNotSitOutTheDelay) {
  for (size_t icons : {size_t{2}, size_t{0}}) {
    SCOPED_TRACE(icons);
    Frames frames;
    IconCycle cycle(icons, 600'000, frames.recorder());
    if (icons) {
      ASSERT_TRUE(frames.wait_for(1));
    }
    auto started = Clock::now();
    cycle.stop();
    EXPECT_LT(Clock::now() - started, 5s);
    EXPECT_EQ(frames.drawn().size(), icons ? 1u : 0u) << "no icons: nothing drawn, and no busy loop";
  }
}

TEST(IconAnimation, StartAndStopThroughTheLibrary) {
  TestResources resources;
  ZYPIconAnimation* animation = ZYPStartAnim(nullptr, 10, 20, 0x00C0C0C0, resources.module, 101, 3, 600'000);
  ASSERT_NE(animation, nullptr);
  auto started = Clock::now();
  EXPECT_EQ(ZYPStopAnim(animation), 0);
  EXPECT_LT(Clock::now() - started, 5s);
  EXPECT_EQ(ZYPStopAnim(animation), 1) << "the handle is gone after the stop";
  EXPECT_EQ(ZYPStopAnim(nullptr), 1);

  // Animations left running are stopped when the library goes.
  EXPECT_NE(ZYPStartAnim(nullptr, 0, 0, 0, nullptr, 0, 0, 600'000), nullptr);
}

}  // namespace
}  // namespace zyp::tools::testing
