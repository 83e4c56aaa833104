// The progress window (dialog 102 of the toolbox's language module): a
// modeless window with the file being worked on, a progress bar and Cancel.
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/export_guard.h"
#include "platform/lang_module.h"
#include "platform/ui/ui.h"
#include "toolbox/config.h"
#include "toolbox/drawing.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

namespace ui = platform::ui;

constexpr uint32_t kProgressDialog = 102;
constexpr uint32_t kBar = 1000;
constexpr uint32_t kFileLine = 1001;
constexpr int kCentreOnDesktop = 2;

class ProgressHandler final : public ui::DialogHandler {
 public:
  void on_init(ui::Window& window) override {
    centre_window(window, kCentreOnDesktop);
    window.bring_to_front();
  }
  // Cancel destroys the window; the worker learns it from the next call.
  void on_command(ui::Window& window, uint32_t control, uint32_t) override {
    if (control == ui::kCancelCommand) window.destroy();
  }
};

struct ProgressWindow {
  ProgressHandler handler;  // outlives the window, which is released first
  std::shared_ptr<ui::Window> window;
  std::thread::id thread = std::this_thread::get_id();
};

// Every progress window handed out and not yet given back with
// ZYPDestroyProgress. A record stays after Cancel, so that the handle keeps
// naming a gone window until its owner gives it back.
class ProgressWindows {
 public:
  ZYPWindow* add(const std::shared_ptr<ProgressWindow>& record) {
    ZYPWindow* handle = window_handle(record->window.get());
    std::lock_guard<std::mutex> hold(lock_);
    records_[handle] = record;
    return handle;
  }

  std::shared_ptr<ProgressWindow> find(ZYPWindow* handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = records_.find(handle);
    return found == records_.end() ? nullptr : found->second;
  }

  void forget(ZYPWindow* handle) {
    std::lock_guard<std::mutex> hold(lock_);
    records_.erase(handle);
  }

 private:
  std::mutex lock_;
  std::map<ZYPWindow*, std::shared_ptr<ProgressWindow>> records_;
};

ProgressWindows& progress_windows() {
  static ProgressWindows all;
  return all;
}

// The live window of a handle, for the thread that made it; null otherwise.
std::shared_ptr<ProgressWindow> usable(ZYPWindow* handle) {
  if (!handle) return nullptr;
  auto record = progress_windows().find(handle);
  if (!record || !record->window->alive() || record->thread != std::this_thread::get_id()) return nullptr;
  return record;
}

void show_if_hidden(ui::Window& window) {
  if (window.visible()) return;
  window.set_visible(true);
  window.repaint();
}

int bar_position(float percent) {
  if (std::isnan(percent) || percent <= 0.0f) return 0;
  if (percent >= 100.0f) return 100;
  return static_cast<int>(percent);  // truncated: 99.9 is 99
}

ZYPWindow* init_progress(ZYPWindow* owner, const char* title) {
  const platform::LanguageModule* own = own_resources();
  const platform::DialogTemplate* dialog = own ? own->dialog(kProgressDialog) : nullptr;
  if (!dialog) return nullptr;
  auto record = std::make_shared<ProgressWindow>();
  ui::WindowOptions options;
  options.owner = window_of(owner);
  options.visible = false;  // shown with the first file line or progress value
  record->window = ui::host().create_window(*dialog, record->handler, options);
  if (!record->window || !record->window->alive()) return nullptr;
  if (title) record->window->set_caption(title);
  try {
    return progress_windows().add(record);
  } catch (...) {
    record->window->destroy();  // its handler goes with the record
    throw;
  }
}

int set_filename(ZYPWindow* handle, const char* text) {
  auto record = usable(handle);
  if (!record) return 1;
  ui::Window& window = *record->window;
  show_if_hidden(window);
  window.repaint();
  window.set_text(kFileLine, text ? text : "");
  return 0;
}

int set_progress(ZYPWindow* handle, float percent) {
  if (!usable(handle)) return 1;
  std::this_thread::yield();
  ui::host().pump();
  // The event just handled may have been the user's Cancel.
  auto record = usable(handle);
  if (!record) return 1;
  show_if_hidden(*record->window);
  record->window->set_progress(kBar, bar_position(percent));
  return 0;
}

int destroy_progress(ZYPWindow* handle) {
  if (!handle) return 1;
  auto record = progress_windows().find(handle);
  // Only the window's own thread may destroy it or give its handle back.
  if (!record || record->thread != std::this_thread::get_id()) return 1;
  progress_windows().forget(handle);
  if (!record->window->alive()) return 1;
  record->window->destroy();
  return 0;
}

}  // namespace
}  // namespace zyp::tools

using zyp::platform::guarded;

ZYP_API ZYPWindow* ZYPInitProgress(ZYPWindow* owner, const char* title, uint32_t) {
  return guarded(static_cast<ZYPWindow*>(nullptr), [&] { return zyp::tools::init_progress(owner, title); });
}

ZYP_API int ZYPSetProgressFilename(ZYPWindow* window, const char* text) {
  return guarded(1, [&] { return zyp::tools::set_filename(window, text); });
}

ZYP_API int ZYPSetProgress(ZYPWindow* window, float percent) {
  return guarded(1, [&] { return zyp::tools::set_progress(window, percent); });
}

ZYP_API float ZYPGetProgress(ZYPWindow*) { return 0.0f; }

ZYP_API int ZYPIsProgressCanceled(ZYPWindow* window) {
  if (!window) return 0;
  return guarded(0, [&] {
    auto record = zyp::tools::progress_windows().find(window);
    return record && record->window->alive() ? 1 : 0;
  });
}

ZYP_API int ZYPDestroyProgress(ZYPWindow* window) {
  return guarded(1, [&] { return zyp::tools::destroy_progress(window); });
}
