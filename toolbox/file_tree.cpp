// ZYPXCopy and ZYPDeltree: recursive copy and delete of a file tree, with the
// platform's Windows-like copy, delete and remove (the read-only attribute
// holds). Symbolic links to folders are never followed: a copy leaves them
// out and a delete removes the link, not what it points to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/export_guard.h"
#include "platform/files.h"
#include "toolbox/folder_listing.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> id_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

std::optional<std::vector<FolderItem>> items_of(const std::string& folder) {
  int fd = open_folder(folder);
  if (fd < 0) return std::nullopt;
  auto items = list_folder(fd);
  ::close(fd);
  return items;
}

// Copies the folder's files (replacing same-named ones) and subfolders into
// the existing folder `destination`. `top` is the destination of the whole
// copy: a source folder that is that very folder (a copy into its own
// subtree) is not copied again.
void copy_items(const std::string& source, const std::string& destination, const std::optional<FileId>& top) {
  auto items = items_of(source);
  if (!items) return;
  for (const FolderItem& item : *items) {
    std::string from = source + "/" + item.name;
    std::string to = destination + "/" + item.name;
    if (item.kind == FolderItem::Kind::Folder) {
      if (top && id_of(from) == top) continue;
      ::mkdir(to.c_str(), 0777);  // an existing folder is no error
      copy_items(from, to, top);
    } else if (item.kind == FolderItem::Kind::File || item.kind == FolderItem::Kind::LinkToFile) {
      platform::copy_file(from, to, false);  // failures of single items are not reported
    }
  }
}

int xcopy(const std::string& source, const std::string& destination) {
  struct stat st {};
  if (::stat(source.c_str(), &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) return platform::copy_file(source, destination, true) ? 1 : 0;
  ::mkdir(destination.c_str(), 0777);
  copy_items(source, destination, id_of(destination));
  return 1;
}

int deltree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  if (S_ISLNK(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 1 : 0;
  if (!S_ISDIR(st.st_mode)) return platform::delete_file(path) ? 1 : 0;
  if (auto items = items_of(path)) {
    for (const FolderItem& item : *items) deltree(path + "/" + item.name);
  }
  return platform::remove_folder(path) ? 1 : 0;
}

}  // namespace
}  // namespace zyp::tools

ZYP_API int ZYPXCopy(const char* source, const char* destination) {
  if (!source || !destination) return 0;
  return zyp::platform::guarded(0, [&] { return zyp::tools::xcopy(source, destination); });
}

ZYP_API int ZYPDeltree(const char* path) {
  if (!path) return 0;
  return zyp::platform::guarded(0, [&] { return zyp::tools::deltree(path); });
}
