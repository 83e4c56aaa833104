#pragma once
// The mark of an encrypted folder: its "desktop.ini", which names the class
// of the directory extension and holds the folder's default header fields.
//   [.ShellClassInfo]
//   CLSID={E2914B3C-7D05-11D1-B8E1-61C2F03A9D47}
//   ConfirmFileOp=0
//   [Ambrel]
//   Algo=<decimal>   Key=<decimal>   Options=<decimal>   User=<text>
// The library writes it and the file-system hook reads it, both from here.
#include <string>

#include "platform/ini.h"
#include "zyp/zypfile.h"

namespace zyp::file {

inline constexpr char kFolderClassId[] = "{E2914B3C-7D05-11D1-B8E1-61C2F03A9D47}";
inline constexpr char kMarkFileName[] = "desktop.ini";
inline constexpr char kShellSection[] = ".ShellClassInfo";
inline constexpr char kMarkSection[] = "Ambrel";

std::string mark_file_path(const std::string& folder);
// The last component of `path` is the mark file's name.
bool is_mark_file(const std::string& path);

// The folder's mark as a header (Algo, Key, Options and User from the
// "Ambrel" section, the rest as ZYPFillHeader makes it): 0 marked, 2 the
// folder does not exist (or is not a folder), 44 not marked.
int read_folder_mark(const std::string& folder, FileHeader& header);

// Adds the class lines and the header's four fields to `mark`, each key
// rewritten in place when present. False when a value cannot be stored (a
// User label holding a line break).
bool add_mark(platform::IniDocument& mark, const FileHeader& header);
bool set_mark_header(platform::IniDocument& mark, const FileHeader& header);
// Removes the class line and the "Ambrel" section; "ConfirmFileOp" stays.
// True when something was removed.
bool remove_mark(platform::IniDocument& mark);

}  // namespace zyp::file
