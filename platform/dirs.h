#pragma once
// The suite's folders on this machine: where named kernel objects, the user's
// settings and the machine's settings live. Each can be moved by an
// environment variable, which is how tests get a private set.
#include <optional>
#include <string>
#include <string_view>

namespace zyp::platform {

// $ZYP_RUNTIME_DIR, else $XDG_RUNTIME_DIR/zyp, else /tmp/zyp-<uid>. Created
// with mode 0700 when missing. A folder owned by another user, open to group
// or others, or not a real folder is refused: the result is empty and *error
// (when given) says which path is wrong and how to mend it. A folder that
// passed is trusted by the calling thread for a quarter of a second, so a
// folder that turns unsafe afterwards is refused from then on; a change of
// the variables is seen at once.
std::optional<std::string> runtime_dir(std::string* error = nullptr);

// $ZYP_USER_DIR, else $XDG_CONFIG_HOME/zyp, else $HOME/.config/zyp.
std::string user_dir();

// $ZYP_MACHINE_DIR, else $XDG_DATA_HOME/zyp, else $HOME/.local/share/zyp.
std::string machine_dir();

// $TMPDIR, else /tmp (GetTempPath).
std::string temp_dir();

// Creates `path` and its missing parents with `mode`; true when it is a folder afterwards.
bool make_folders(const std::string& path, unsigned mode = 0700);

// The file under the runtime folder that stands for the kernel object `name`
// with `suffix` ("ZYPPROV_MUTEX", ".mutex"). Kernel object names may hold any
// character except NUL; characters a file name cannot carry are escaped as
// %XX. Empty when the runtime folder is refused or the name is empty.
std::optional<std::string> object_path(std::string_view name, std::string_view suffix,
                                       std::string* error = nullptr);

}  // namespace zyp::platform
