#include "platform/ui/transcript.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/object_files.h"

namespace zyp::platform::ui::detail {

std::string quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
          quoted += escaped;
        } else {
          quoted += c;
        }
    }
  }
  quoted += '"';
  return quoted;
}

void Transcript::write(std::string_view line) const {
  if (path_.empty()) return;
  objects::UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return;
  std::string whole(line);
  whole += '\n';
  (void)!::write(fd.get(), whole.data(), whole.size());
}

}  // namespace zyp::platform::ui::detail
