#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/dirs.h"
#include "toolbox/fuzz/fuzz_targets.h"
#include "zyp/zyptools.h"

namespace zyp::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr char kSentinelText[] = "must stay as it is";

struct UnzipSandbox {
  fs::path root;
  fs::path archive;
  fs::path destination;
  fs::path outside;

  UnzipSandbox() {
    root = fs::path(platform::temp_dir()) / ("zyp-fuzz-unzip-" + std::to_string(::getpid()));
    archive = root / "input.archive";
    destination = root / "destination";
    outside = root / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "sentinel") << kSentinelText;
  }

  // A fresh destination with a link named "link" to the folder beside it.
  void reset_destination() {
    fs::remove_all(destination);
    fs::create_directories(destination);
    fs::create_directory_symlink(outside, destination / "link");
  }

  std::string check() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(root)) names.insert(entry.path().filename());
    if (names != std::set<std::string>{"destination", "input.archive", "outside"})
      return "a file appeared beside the destination";
    size_t outside_count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(outside)) {
      (void)entry;
      ++outside_count;
    }
    if (outside_count != 1) return "a file appeared in the linked folder";
    std::ifstream sentinel(outside / "sentinel");
    std::string text((std::istreambuf_iterator<char>(sentinel)), std::istreambuf_iterator<char>());
    if (text != kSentinelText) return "the file in the linked folder changed";
    if (!fs::is_symlink(destination / "link")) return "the link inside the destination was replaced";
    return {};
  }
};

}  // namespace

std::string unzip_input(const uint8_t* data, size_t size) {
  static UnzipSandbox sandbox;
  sandbox.reset_destination();
  {
    std::ofstream out(sandbox.archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  int result = ZYPUnZip(sandbox.archive.c_str(), sandbox.destination.c_str());
  if (result != 0 && result != 1) return "ZYPUnZip returned " + std::to_string(result);
  return sandbox.check();
}

}  // namespace zyp::fuzz
