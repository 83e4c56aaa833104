// Loads the graphical backend on demand: the Qt toolkit lives in its own
// library (libzypuiqt.so), so that a program that never shows a window does
// not load it.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/modules.h"
#include "platform/object_files.h"
#include "platform/ui/model.h"
#include "platform/ui/qt_backend.h"

namespace zyp::platform::ui::detail {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// True when a Unix socket at `path` accepts a connection; a path starting
// with '@' names an abstract socket.
bool socket_answers(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';
  objects::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
}

}  // namespace

bool wayland_socket_answers() {
  std::string name = env("WAYLAND_DISPLAY");
  if (name.empty()) return false;
  return socket_answers(name[0] == '/' ? name : env("XDG_RUNTIME_DIR") + "/" + name);
}

bool x_socket_answers() {
  std::string display = env("DISPLAY");
  size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  if (!host.empty() && host != "unix") return true;  // a display over the network: Qt finds out
  const std::string path = "/tmp/.X11-unix/X" + number;
  return socket_answers("@" + path) || socket_answers(path);
}

std::unique_ptr<Host> make_qt_host(std::string transcript, std::string& why) {
  std::string error;
  void* module = load_module(kQtBackendLibrary, &error);
  if (!module) {
    why = "the qt backend cannot be loaded (" + error + ")";
    return nullptr;
  }
  auto make = reinterpret_cast<QtHostFactory>(module_symbol(module, kQtBackendFactory));
  char reason[256] = {};
  Host* host = make ? make(transcript.c_str(), reason, sizeof reason) : nullptr;
  if (!host) {
    why = !make ? std::string("the qt backend lacks ") + kQtBackendFactory
                : reason[0] ? reason : "the qt backend cannot start";
    // Qt has not started: the library and the toolkit go again.
    unload_module(module);
    return nullptr;
  }
  // Kept loaded for the life of the process, like the host it made.
  return std::unique_ptr<Host>(host);
}

}  // namespace zyp::platform::ui::detail
