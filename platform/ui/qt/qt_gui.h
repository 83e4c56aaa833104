#pragma once
// The toolkit's thread. Qt widgets belong to the thread that made the
// application object, while the suite shows dialogs from any thread (the
// server's PIN dialog runs on its dispatch thread). So one thread per process
// owns the QApplication and every widget; the windows' own threads hand it
// work and wait for answers. The application object is never destroyed: it
// lasts as long as the process.
#include <QObject>

#include <functional>
#include <future>
#include <string>
#include <thread>

namespace zyp::platform::ui::qt {

class Gui {
 public:
  // The process's toolkit thread, started on first use; null when no display
  // can be reached (`why` says why). Once started it runs until the process
  // exits.
  static Gui* instance(std::string& why);

  // Runs `job` on the toolkit's thread, after the jobs posted before it.
  void post(std::function<void()> job);
  // Runs `job` there and waits for its result.
  template <typename Result>
  Result call(std::function<Result()> job) {
    if (on_gui_thread()) return job();
    std::promise<Result> result;
    post([&] { result.set_value(job()); });
    return result.get_future().get();
  }
  bool on_gui_thread() const { return std::this_thread::get_id() == thread_.get_id(); }

  // At exit the toolkit's thread is parked in a job of its own before Qt's
  // globals go, since it may still be working (closing a window) while the
  // process ends. Exit handlers run newest first, so the parking handler is
  // registered again after every window that came or went, which may have
  // made Qt globals of its own.
  void keep_exit_order();

 private:
  Gui() = default;
  bool start(const std::string& platform, std::string& why);
  void run(const std::string& platform, std::promise<bool>& started);
  static void park_at_exit();

  std::thread thread_;
  QObject* context_ = nullptr;
};

// The Qt platform to start with ("xcb", "wayland", or empty to keep
// QT_QPA_PLATFORM); false when the display it needs cannot be reached.
bool choose_platform(std::string& platform, std::string& why);

}  // namespace zyp::platform::ui::qt
