#include "toolbox/icon_cycle.h"

#include <chrono>

namespace zyp::tools {

IconCycle::IconCycle(size_t frames, uint32_t delay_ms, DrawFrame draw)
    : frames_(frames), delay_ms_(delay_ms), draw_(std::move(draw)), thread_([this] { run(); }) {}

IconCycle::~IconCycle() { stop(); }

void IconCycle::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_requested_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool IconCycle::pause() {
  std::unique_lock<std::mutex> hold(lock_);
  return !wake_.wait_for(hold, std::chrono::milliseconds(delay_ms_), [this] { return stop_requested_; });
}

void IconCycle::run() {
  if (frames_ == 0) {
    // Nothing to show: wait for the stop instead of spinning through an empty row.
    std::unique_lock<std::mutex> hold(lock_);
    wake_.wait(hold, [this] { return stop_requested_; });
    return;
  }
  for (;;) {
    for (size_t frame = 0; frame < frames_; ++frame) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (stop_requested_) return;
      }
      draw_(frame);
      if (!pause()) return;
    }
  }
}

}  // namespace zyp::tools
