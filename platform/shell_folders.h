#pragma once
// The current user's shell folders: the values of HKEY_CURRENT_USER
// "Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders", and
// where the registry names none, the desktop's own folders.
#include <string>

namespace zyp::platform {

// "Desktop": the registry's value, else XDG_DESKTOP_DIR of the user's
// $XDG_CONFIG_HOME/user-dirs.dirs (~/.config when unset), else ~/Desktop.
std::string desktop_folder();
// "Start Menu": the registry's value, else the applications menu folder
// ($XDG_DATA_HOME/applications, else ~/.local/share/applications).
std::string start_menu_folder();

}  // namespace zyp::platform
