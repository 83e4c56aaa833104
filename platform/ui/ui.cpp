#include "platform/ui/ui.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/export_guard.h"
#include "platform/ui/model.h"
#include "platform/ui/qt_backend.h"

namespace zyp::platform::ui {

std::vector<int> message_box_buttons(uint32_t style) {
  switch (style & kMbButtonsMask) {
    case kMbOkCancel: return {kIdOk, kIdCancel};
    case kMbAbortRetryIgnore: return {kIdAbort, kIdRetry, kIdIgnore};
    case kMbYesNoCancel: return {kIdYes, kIdNo, kIdCancel};
    case kMbYesNo: return {kIdYes, kIdNo};
    case kMbRetryCancel: return {kIdRetry, kIdCancel};
    case kMbCancelTryContinue: return {kIdCancel, kIdTryAgain, kIdContinue};
    default: return {kIdOk};
  }
}

int message_box_default(uint32_t style) {
  auto buttons = message_box_buttons(style);
  size_t index = (style & kMbDefButtonMask) >> 8;
  return index < buttons.size() ? buttons[index] : buttons.front();
}

int message_box_escape(uint32_t style) {
  switch (style & kMbButtonsMask) {
    case kMbOk: return kIdOk;
    case kMbYesNo: return kIdNo;
    case kMbAbortRetryIgnore: return kIdAbort;
    default: return kIdCancel;
  }
}

std::string_view button_name(int button) {
  switch (button) {
    case kIdOk: return "OK";
    case kIdCancel: return "Cancel";
    case kIdAbort: return "Abort";
    case kIdRetry: return "Retry";
    case kIdIgnore: return "Ignore";
    case kIdYes: return "Yes";
    case kIdNo: return "No";
    case kIdTryAgain: return "Try Again";
    case kIdContinue: return "Continue";
    default: return {};
  }
}

int Host::message_box(std::string_view text, std::string_view caption, uint32_t style, Window* owner) noexcept {
  return guarded(0, [&] { return do_message_box(MessageBoxRequest{text, caption, style, owner}); });
}

int Host::run_dialog(const DialogTemplate& dialog, DialogHandler& handler, Window* owner) noexcept {
  return guarded(-1, [&] { return do_run_dialog(dialog, handler, owner); });
}

std::shared_ptr<Window> Host::create_window(const DialogTemplate& dialog, DialogHandler& handler,
                                            const WindowOptions& options) noexcept {
  return guarded(std::shared_ptr<Window>(), [&] { return do_create_window(dialog, handler, options); });
}

std::shared_ptr<Window> Host::find_window(uint32_t handle) noexcept {
  return guarded(std::shared_ptr<Window>(), [&] { return do_find_window(handle); });
}

bool Host::pump() noexcept {
  return guarded(false, [&] { return do_pump(); });
}

bool Host::wait_event(uint32_t timeout_ms) noexcept {
  return guarded(false, [&] { return do_wait_event(timeout_ms); });
}

std::optional<std::string> Host::choose_folder(const ChooserOptions& options) noexcept {
  return guarded(std::optional<std::string>(), [&] { return do_choose(ChooserKind::Folder, options); });
}

std::optional<std::string> Host::choose_open_file(const ChooserOptions& options) noexcept {
  return guarded(std::optional<std::string>(), [&] { return do_choose(ChooserKind::OpenFile, options); });
}

std::optional<std::string> Host::choose_save_file(const ChooserOptions& options) noexcept {
  return guarded(std::optional<std::string>(), [&] { return do_choose(ChooserKind::SaveFile, options); });
}

uint32_t Host::popup_menu(const std::vector<MenuItem>& items, uint32_t default_command, Window* owner) noexcept {
  return guarded(0u, [&] { return do_popup_menu(items, default_command, owner); });
}

std::unique_ptr<TrayIcon> Host::add_tray_icon(uint32_t icon, std::string_view tooltip,
                                              TrayHandler* handler) noexcept {
  return guarded(std::unique_ptr<TrayIcon>(), [&] { return do_add_tray_icon(icon, tooltip, handler); });
}

void Host::begin_wait_cursor() noexcept {
  if (wait_cursor_depth_.fetch_add(1) != 0) return;
  guarded(0, [&] {
    do_set_wait_cursor(true);
    return 0;
  });
}

void Host::end_wait_cursor() noexcept {
  int depth = wait_cursor_depth_.load();
  do {
    if (depth <= 0) return;
  } while (!wait_cursor_depth_.compare_exchange_weak(depth, depth - 1));
  if (depth != 1) return;
  guarded(0, [&] {
    do_set_wait_cursor(false);
    return 0;
  });
}

void Host::beep(uint32_t sound) noexcept {
  guarded(0, [&] {
    do_beep(sound);
    return 0;
  });
}

void Host::notify_change(std::string_view event, std::string_view path) noexcept {
  guarded(0, [&] {
    do_notify_change(event, path);
    return 0;
  });
}

void Host::sleep(uint32_t milliseconds) noexcept {
  guarded(0, [&] {
    do_sleep(milliseconds);
    return 0;
  });
}

ScreenRect Host::screen() const noexcept {
  return guarded(ScreenRect{}, [&] { return do_screen(); });
}

namespace {

constexpr std::string_view kScriptPrefix = "script:";

std::unique_ptr<Host> fallback(std::string_view why, std::string transcript) {
  std::fprintf(stderr, "zyp ui: %.*s; no dialogs are shown\n", static_cast<int>(why.size()), why.data());
  return detail::make_none_host(std::move(transcript));
}

}  // namespace

std::unique_ptr<Host> make_host(std::string_view spec, std::string_view transcript) noexcept {
  return guarded(std::unique_ptr<Host>(), [&]() -> std::unique_ptr<Host> {
    std::string record(transcript);
    // A program run on a terminal keeps its prompts and progress bar there
    // (`zyp`, a server in the foreground); the others show windows when a
    // display can be reached.
    if (spec.empty() && ::isatty(STDIN_FILENO) != 1 &&
        (detail::wayland_socket_answers() || detail::x_socket_answers())) {
      std::string why;
      if (auto qt = detail::make_qt_host(record, why)) return qt;
    }
    if (spec.empty() || spec == "tty") return detail::make_tty_host(std::move(record));
    if (spec == "none") return detail::make_none_host(std::move(record));
    if (spec.starts_with(kScriptPrefix)) {
      std::string_view file = spec.substr(kScriptPrefix.size());
      if (file.empty()) return fallback("ZYP_UI=script: names no file", std::move(record));
      return detail::make_script_host(std::string(file), std::move(record));
    }
    if (spec == "qt") {
      std::string why;
      if (auto qt = detail::make_qt_host(record, why)) return qt;
      return fallback(why, std::move(record));
    }
    return fallback("unknown ZYP_UI value " + std::string(spec), std::move(record));
  });
}

Host& host() noexcept {
  static Host* const instance = [] {
    const char* spec = std::getenv("ZYP_UI");
    const char* transcript = std::getenv("ZYP_UI_TRANSCRIPT");
    // Kept until the process ends: windows and tray icons of late destructors
    // may still use it.
    Host* made = make_host(spec ? spec : "", transcript ? transcript : "").release();
    if (!made) std::abort();  // no memory for the first user interface call
    return made;
  }();
  return *instance;
}

}  // namespace zyp::platform::ui
