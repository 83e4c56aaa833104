#include "toolbox/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zyp::tools {
namespace {

FolderItem::Kind kind_of_mode(mode_t mode) {
  if (S_ISREG(mode)) return FolderItem::Kind::File;
  if (S_ISDIR(mode)) return FolderItem::Kind::Folder;
  return FolderItem::Kind::Other;
}

FolderItem::Kind kind_of_link(int folder_fd, const char* name) {
  struct stat target {};
  if (::fstatat(folder_fd, name, &target, 0) != 0) return FolderItem::Kind::Link;
  if (S_ISDIR(target.st_mode)) return FolderItem::Kind::LinkToFolder;
  if (S_ISREG(target.st_mode)) return FolderItem::Kind::LinkToFile;
  return FolderItem::Kind::Link;
}

FolderItem::Kind kind_of(int folder_fd, const dirent& entry) {
  unsigned char type = entry.d_type;
  if (type == DT_UNKNOWN) {
    struct stat st {};
    if (::fstatat(folder_fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return FolderItem::Kind::Other;
    if (S_ISLNK(st.st_mode)) return kind_of_link(folder_fd, entry.d_name);
    return kind_of_mode(st.st_mode);
  }
  switch (type) {
    case DT_REG: return FolderItem::Kind::File;
    case DT_DIR: return FolderItem::Kind::Folder;
    case DT_LNK: return kind_of_link(folder_fd, entry.d_name);
    default: return FolderItem::Kind::Other;
  }
}

}  // namespace

std::optional<std::vector<FolderItem>> list_folder(int folder_fd) {
  // The listing gets its own descriptor, so closing it leaves the caller's open.
  int own = ::dup(folder_fd);
  if (own < 0) return std::nullopt;
  DIR* dir = ::fdopendir(own);
  if (!dir) {
    ::close(own);
    return std::nullopt;
  }
  ::rewinddir(dir);
  std::vector<FolderItem> items;
  try {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      items.push_back({entry->d_name, kind_of(folder_fd, *entry)});
    }
  } catch (...) {
    ::closedir(dir);
    return std::nullopt;
  }
  ::closedir(dir);
  return items;
}

int open_folder(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

}  // namespace zyp::tools
