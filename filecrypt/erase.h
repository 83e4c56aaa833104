#pragma once
// Secure erase: every byte of a file is overwritten a number of times before
// the file is deleted. Pass i writes entry i mod 5 of the table 00, AA, 55
// and two bytes drawn afresh for every pass from the system's random
// generator (0 to 254); each pass is forced to the disk before the next. A
// symbolic link is removed itself; what it names is left alone.
//
// Built as a static library of its own so that its tests can watch a file
// between the passes (EraseContext::after_pass) and stand in for an item of a
// folder walk (EraseContext::erase_entry).
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct ZYPWindow;
struct ZYPResourceModule;

namespace zyp::file {

// Results of the erase calls.
enum EraseResult : int {
  kErased = 0,
  kDeclined = 1,      // the user kept a read-only file
  kMissing = 2,
  kCannotOpen = 12,   // the file cannot be opened for writing
  kWriteFailed = 14,  // the file is still deleted when possible
  kNoSize = 17,
  kCannotDelete = 19, // the file cannot be deleted, or the folder removed
};

// Lets a progress value through at most once per interval, so that a large
// file or a folder of many small ones does not spend its time redrawing.
class ProgressThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ProgressThrottle(Clock::duration interval) : interval_(interval) {}
  // True for the first value and when `interval` has passed since the last
  // value let through.
  bool due(Clock::time_point now);

 private:
  Clock::duration interval_;
  bool shown_ = false;
  Clock::time_point last_{};
};

// One erase call: the passes, where it shows itself and how it asks.
struct EraseContext {
  uint32_t passes = 0;
  ZYPWindow* window = nullptr;               // the progress window, or none
  float max_percent = 0;                     // what one file's progress runs up to
  ZYPResourceModule* strings = nullptr;      // the read-only question's texts
  ProgressThrottle throttle{std::chrono::milliseconds(250)};
  // For tests: called once the pass is on the disk, before the next starts.
  std::function<void(uint32_t pass, uint8_t byte)> after_pass = nullptr;
  // For tests: erases one item of a folder in place of erase_path.
  std::function<int(const std::string& path, EraseContext& context)> erase_entry = nullptr;
};

// The byte that pass `pass` writes (a random one is drawn for the pass).
uint8_t pass_byte(uint32_t pass);

// With a window, a read-only file is erased only when the user agrees
// (kDeclined otherwise, and the file stays); without one it is erased.
int erase_file(const std::string& path, EraseContext& context);

// A file as above, or a folder tree in name order: the first failed item
// stops the walk and the folder is kept; otherwise the folder is removed.
int erase_path(const std::string& path, EraseContext& context);

}  // namespace zyp::file
