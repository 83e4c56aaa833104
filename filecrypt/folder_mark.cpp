#include "filecrypt/folder_mark.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "filecrypt/mark_format.h"
#include "platform/files.h"
#include "platform/ini.h"

namespace zyp::file {
namespace {

using platform::IniDocument;

// OPEN_ALWAYS with the hidden and system attributes, which Windows gives only
// to a file it creates.
bool create_mark_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST && !platform::is_folder(path);
  ::close(fd);
  return platform::set_file_attributes(path, platform::kAttributeHidden | platform::kAttributeSystem);
}

template <typename Change>
int change_mark(const std::string& folder, Change&& change) {
  const std::string path = mark_file_path(folder);
  std::optional<IniDocument> mark = platform::read_ini_file(path);
  if (!mark || !change(*mark) || !platform::write_ini_file(path, *mark)) return ZYPFILE_MARK_NOT_WRITTEN;
  return ZYPFILE_OK;
}

}  // namespace

int mark_folder(const std::string& folder, const FileHeader& header) {
  if (!create_mark_file(mark_file_path(folder))) return ZYPFILE_MARK_NOT_WRITTEN;
  return change_mark(folder, [&](IniDocument& mark) { return add_mark(mark, header); });
}

int set_folder_mark_header(const std::string& folder, const FileHeader& header) {
  if (!platform::is_folder(folder)) return ZYPFILE_NOT_FOUND;
  return change_mark(folder, [&](IniDocument& mark) { return set_mark_header(mark, header); });
}

int unmark_folder(const std::string& folder) {
  const std::string path = mark_file_path(folder);
  if (!platform::file_exists(path)) return ZYPFILE_OK;
  std::optional<IniDocument> mark = platform::read_ini_file(path);
  if (!mark) return ZYPFILE_MARK_NOT_WRITTEN;
  if (!remove_mark(*mark)) return ZYPFILE_OK;
  return platform::write_ini_file(path, *mark) ? ZYPFILE_OK : ZYPFILE_MARK_NOT_WRITTEN;
}

}  // namespace zyp::file
