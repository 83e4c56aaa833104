#include "filecrypt/mark_format.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "filecrypt/header_format.h"
#include "platform/files.h"

namespace zyp::file {
namespace {

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The leading decimal digits of a mark value ("%lu" as the suite writes it);
// 0 when there are none.
uint32_t mark_number(const std::optional<std::string>& text) {
  if (!text) return 0;
  return static_cast<uint32_t>(std::strtoull(text->c_str(), nullptr, 10));
}

std::string user_label(const FileHeader& header) {
  return std::string(header.User, ::strnlen(header.User, sizeof header.User));
}

}  // namespace

std::string mark_file_path(const std::string& folder) { return folder + "/" + kMarkFileName; }

bool is_mark_file(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return path.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, kMarkFileName) == 0;
}

int read_folder_mark(const std::string& folder, FileHeader& header) {
  if (!platform::is_folder(folder)) return 2;
  std::optional<platform::IniDocument> mark = platform::read_ini_file(mark_file_path(folder));
  if (!mark) return 44;
  std::optional<std::string> class_id = mark->value(kShellSection, "CLSID");
  if (!class_id || !same_text_ignoring_case(*class_id, kFolderClassId) || !mark->has_section(kMarkSection)) return 44;
  std::string user = mark->value(kMarkSection, "User").value_or("");
  std::memset(&header, 0, sizeof header);
  fill_header(header, mark_number(mark->value(kMarkSection, "Algo")), mark_number(mark->value(kMarkSection, "Key")),
              mark_number(mark->value(kMarkSection, "Options")), user.c_str());
  return 0;
}

bool set_mark_header(platform::IniDocument& mark, const FileHeader& header) {
  return mark.set(kMarkSection, "Algo", std::to_string(header.Algo)) &&
         mark.set(kMarkSection, "Key", std::to_string(header.Key)) &&
         mark.set(kMarkSection, "Options", std::to_string(header.Options)) &&
         mark.set(kMarkSection, "User", user_label(header));
}

bool add_mark(platform::IniDocument& mark, const FileHeader& header) {
  return mark.set(kShellSection, "CLSID", kFolderClassId) && mark.set(kShellSection, "ConfirmFileOp", "0") &&
         set_mark_header(mark, header);
}

bool remove_mark(platform::IniDocument& mark) {
  bool removed = mark.erase_key(kShellSection, "CLSID");
  return mark.erase_section(kMarkSection) || removed;
}

}  // namespace zyp::file
