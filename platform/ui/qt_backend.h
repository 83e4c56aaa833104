#pragma once
// The entry point of the graphical backend library, shared by the host that
// loads it and the library itself.
#include <cstddef>
#include <memory>
#include <string>

#include "platform/ui/ui.h"

namespace zyp::platform::ui::detail {

inline constexpr char kQtBackendLibrary[] = "libzypuiqt.so";
inline constexpr char kQtBackendFactory[] = "zyp_ui_make_qt_host";

// Makes the Qt host writing its transcript to `transcript` (empty: none); null
// when no display can be reached or Qt cannot start, with the reason in `why`
// (at most why_size bytes, ending with a zero).
using QtHostFactory = Host* (*)(const char* transcript, char* why, size_t why_size);

// Without ZYP_UI=qt, the Qt backend is tried only when one of these holds.
// Whether the display's socket accepts a connection (a display on another
// host counts as reachable: Qt finds out).
bool wayland_socket_answers();
bool x_socket_answers();

// Loads the library and makes its host; null with the reason in `why`.
std::unique_ptr<Host> make_qt_host(std::string transcript, std::string& why);

}  // namespace zyp::platform::ui::detail
