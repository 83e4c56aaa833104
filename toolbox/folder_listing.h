#pragma once
// Listing a folder the way the toolbox's tree operations walk it: every
// entry whose name begins with "." is left out (not only "." and "..").
#include <optional>
#include <string>
#include <vector>

namespace zyp::tools {

struct FolderItem {
  // A symbolic link is classed by its target; Link is one whose target is
  // missing or neither a file nor a folder. Other: devices, pipes, sockets.
  enum class Kind { File, Folder, LinkToFile, LinkToFolder, Link, Other };
  std::string name;
  Kind kind;
};

// The items of the open folder `folder_fd` in the order the file system
// returns them (no sorting). Empty when the folder cannot be read. The
// descriptor stays open and owned by the caller.
std::optional<std::vector<FolderItem>> list_folder(int folder_fd);

// Opens `path` as a folder (following a symbolic link at its end); -1 on failure.
int open_folder(const std::string& path);

}  // namespace zyp::tools
