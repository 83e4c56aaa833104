#pragma once
// The thread behind ZYPStartAnim: shows a row of icons in turn, one per
// delay, until it is stopped. Stopping wakes the thread at once (it does not
// sit out its delay) and waits for it to end, so nothing of the animation
// runs after stop() returns.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace zyp::tools {

class IconCycle {
 public:
  // Draws frame `index` (0 .. frames - 1). Runs on the animation's thread.
  using DrawFrame = std::function<void(size_t index)>;

  // Starts the thread. With no frames it only waits to be stopped.
  // Throws when memory or threads are lacking.
  IconCycle(size_t frames, uint32_t delay_ms, DrawFrame draw);
  ~IconCycle();  // stops
  IconCycle(const IconCycle&) = delete;
  IconCycle& operator=(const IconCycle&) = delete;

  // Sets the stop flag and waits for the thread to end. Idempotent.
  void stop();

 private:
  void run();
  // Sleeps the delay; false when the stop flag was set meanwhile (or before).
  bool pause();

  const size_t frames_;
  const uint32_t delay_ms_;
  DrawFrame draw_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_requested_ = false;  // the stop flag, under lock_
  std::thread thread_;
};

}  // namespace zyp::tools
