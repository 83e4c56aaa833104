#pragma once
// The transcript: one line per thing shown, appended to the file named by
// $ZYP_UI_TRANSCRIPT. Several processes may append to the same file; each
// line goes out in a single write, so lines never interleave.
#include <string>
#include <string_view>

namespace zyp::platform::ui::detail {

// `text` in double quotes, with \" \\ \n \r \t and \xNN for other control bytes.
std::string quote(std::string_view text);

class Transcript {
 public:
  explicit Transcript(std::string path) : path_(std::move(path)) {}
  bool enabled() const { return !path_.empty(); }
  // Appends `line` and a line feed; a file that cannot be written is skipped.
  void write(std::string_view line) const;

 private:
  std::string path_;
};

}  // namespace zyp::platform::ui::detail
