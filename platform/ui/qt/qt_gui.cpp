#include "platform/ui/qt/qt_gui.h"

#include <dlfcn.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/ui/qt_backend.h"

namespace zyp::platform::ui::qt {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool x_display_reachable() {
  if (!detail::x_socket_answers()) return false;
  // xcb_connect also checks the authorisation, which the socket alone does not.
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  bool reached = connection && xcb_connection_has_error(connection) == 0;
  if (connection) xcb_disconnect(connection);
  return reached;
}

bool wayland_display_reachable() {
  if (!detail::wayland_socket_answers()) return false;
  // The platform plugin is a package of its own (qt6-wayland).
  QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
  return !platforms.entryList({QStringLiteral("libqwayland*.so")}, QDir::Files).isEmpty();
}

// Qt's notes about what a platform cannot do (offscreen has no raise, no
// keyboard grab) and about its own globals at exit say nothing to our user.
QtMessageHandler g_previous_handler = nullptr;

void quiet_messages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  static const char* const kNoise[] = {"This plugin does not support", "Timers cannot be stopped from another thread",
                                       "XDG_RUNTIME_DIR not set", "QApplication was not created in the main()"};
  for (const char* noise : kNoise) {
    if (message.contains(QLatin1String(noise))) return;
  }
  if (g_previous_handler) {
    g_previous_handler(type, context, message);
  } else {
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
  }
}

std::mutex g_start_lock;
Gui* g_gui = nullptr;

// The toolkit's thread runs this library's code until the process ends, so
// the library must never be unloaded once it started.
void pin_library() {
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&pin_library), &self) && self.dli_fname) {
    ::dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

}  // namespace

bool choose_platform(std::string& platform, std::string& why) {
  std::string asked = env("QT_QPA_PLATFORM");
  platform.clear();
  if (asked.starts_with("xcb")) {
    if (x_display_reachable()) return true;
    why = "QT_QPA_PLATFORM asks for X, and no X display can be reached";
    return false;
  }
  if (asked.starts_with("wayland")) {
    if (wayland_display_reachable()) return true;
    why = "QT_QPA_PLATFORM asks for Wayland, and no Wayland display can be reached";
    return false;
  }
  if (!asked.empty()) return true;  // offscreen, vnc, ...: needs no display of ours
  if (wayland_display_reachable()) {
    platform = "wayland";
    return true;
  }
  if (x_display_reachable()) {
    platform = "xcb";
    return true;
  }
  why = "no display can be reached (WAYLAND_DISPLAY, DISPLAY)";
  return false;
}

Gui* Gui::instance(std::string& why) {
  std::lock_guard<std::mutex> hold(g_start_lock);
  if (g_gui) return g_gui;
  std::string platform;
  if (!choose_platform(platform, why)) return nullptr;
  auto* gui = new Gui();
  if (!gui->start(platform, why)) {
    delete gui;
    return nullptr;
  }
  g_gui = gui;
  g_gui->keep_exit_order();
  pin_library();
  return g_gui;
}

bool Gui::start(const std::string& platform, std::string& why) {
  std::promise<bool> started;
  auto ready = started.get_future();
  thread_ = std::thread([this, platform, &started] { run(platform, started); });
  if (ready.get()) return true;
  thread_.join();
  why = "Qt could not start";
  return false;
}

void Gui::run(const std::string& platform, std::promise<bool>& started) {
  static char name[] = "zyp";
  static char option[] = "-platform";
  static std::string chosen;
  chosen = platform;
  static std::vector<char*> arguments;
  arguments = {name};
  if (!chosen.empty()) {
    arguments.push_back(option);
    arguments.push_back(chosen.data());
  }
  arguments.push_back(nullptr);
  static int count;
  count = static_cast<int>(arguments.size()) - 1;
  g_previous_handler = qInstallMessageHandler(&quiet_messages);
  // Qt sets the C locale from the environment; the suite formats and reads
  // numbers with the locale it had, so that one is put back.
  const char* current = std::setlocale(LC_ALL, nullptr);
  const std::string locale = current ? current : "C";
  auto* app = new QApplication(count, arguments.data());
  std::setlocale(LC_ALL, locale.c_str());
  app->setQuitOnLastWindowClosed(false);
  context_ = new QObject();
  started.set_value(true);
  app->exec();
}

void Gui::post(std::function<void()> job) {
  QMetaObject::invokeMethod(context_, std::move(job), Qt::QueuedConnection);
}

void Gui::keep_exit_order() { std::atexit(&Gui::park_at_exit); }

void Gui::park_at_exit() {
  static std::atomic<bool> done{false};
  Gui* gui = g_gui;
  if (!gui || gui->on_gui_thread() || done.exchange(true)) return;
  auto parked = std::make_shared<std::promise<void>>();
  auto ready = parked->get_future();
  gui->post([parked] {
    parked->set_value();
    for (;;) ::pause();
  });
  ready.wait_for(std::chrono::seconds(2));
}

}  // namespace zyp::platform::ui::qt
