#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/dirs.h"
#include "toolbox/fuzz/fuzz_targets.h"
#include "zyp/zyptools.h"

namespace zyp::fuzz {
namespace {

namespace fs = std::filesystem;

// Removes the hives an import may have made, so that inputs do not pile up.
void empty_hives() {
  std::error_code ignored;
  for (const char* hive : {"HKLM.reg", "HKCR.reg"}) fs::remove(fs::path(platform::machine_dir()) / hive, ignored);
  fs::remove_all(fs::path(platform::machine_dir()) / "users", ignored);
  fs::remove(fs::path(platform::user_dir()) / "HKCU.reg", ignored);
}

}  // namespace

std::string regimport_input(const uint8_t* data, size_t size) {
  static const fs::path folder = [] {
    fs::path path = fs::path(platform::temp_dir()) / ("zyp-fuzz-regimport-" + std::to_string(::getpid()));
    fs::create_directories(path);
    return path;
  }();
  fs::path input = folder / "input.reg";
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  int result = ZYPRegImport(input.c_str());
  empty_hives();
  if (result != 0) return "ZYPRegImport returned " + std::to_string(result) + " for an existing file";
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    (void)entry;
    ++count;
  }
  if (count != 1) return "a file appeared beside the input";
  return {};
}

}  // namespace zyp::fuzz
