#pragma once
// Small file-tree helpers for the toolbox tests.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace zyp::tools::testing {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every item below `top` (links not followed): relative path -> contents,
// or "<folder>" / "<link>".
inline std::map<std::string, std::string> tree_of(const fs::path& top) {
  std::map<std::string, std::string> items;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    std::string relative = fs::relative(entry.path(), top).string();
    if (entry.is_symlink()) {
      items[relative] = "<link>";
    } else if (entry.is_directory()) {
      items[relative] = "<folder>";
    } else {
      items[relative] = read_file(entry.path());
    }
  }
  return items;
}

}  // namespace zyp::tools::testing
