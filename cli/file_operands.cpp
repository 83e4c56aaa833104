#include "cli/file_operands.h"

#include "cli/provider_lists.h"

namespace zyp::cli {

std::string in_quotes(const std::string& path) { return "\"" + printable(path) + "\""; }

std::optional<struct stat> entry_status(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return status;
}

bool wants_progress(const Invocation& invocation, const struct stat& status) {
  if (invocation.has("--quiet") || !::isatty(STDERR_FILENO)) return false;
  return S_ISDIR(status.st_mode) || (S_ISREG(status.st_mode) && status.st_size > kProgressFromBytes);
}

}  // namespace zyp::cli
