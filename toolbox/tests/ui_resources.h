#pragma once
// A language module of a made-up deliverable for the toolbox's window
// services, with the picture files it names.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "testsupport/test_env.h"
#include "toolbox/tests/tree_helpers.h"
#include "zyp/zyptools.h"

namespace zyp::tools::testing {

// A 1 x 1 24-bit Windows bitmap of the given colour.
inline std::string bitmap_bytes(uint8_t red = 0, uint8_t green = 0, uint8_t blue = 0) {
  std::string bytes = "BM";
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto put16 = [&](uint16_t v) {
    bytes += static_cast<char>(v & 0xFF);
    bytes += static_cast<char>(v >> 8);
  };
  put32(58);  // file size
  put32(0);
  put32(54);  // offset of the pixels
  put32(40);  // info header
  put32(1);   // width
  put32(1);   // height
  put16(1);   // planes
  put16(24);  // bits per pixel
  for (int i = 0; i < 6; ++i) put32(0);
  bytes += static_cast<char>(blue);
  bytes += static_cast<char>(green);
  bytes += static_cast<char>(red);
  bytes += '\0';  // rows are padded to 4 bytes
  return bytes;
}

inline std::string clip_bytes() { return std::string("RIFF\x10\0\0\0AVI LIST\x04\0\0\0hdrl", 24); }

inline std::string icon_bytes() { return std::string("\0\0\1\0\1\0\x10\x10\0\0", 10); }

constexpr char kTestModule[] = R"(
string 10 "Quillmarsh Folder"
string 11 "Delete %s and its %d files?"
string 12 "Quillmarsh Folder Personal"
string 13 "%s"
icon 101 "app.ico"
icon 102 "missing.ico"
bitmap 7 "banner.bmp"
bitmap 8 "missing.bmp"
bitmap 9 "notes.txt"
)";

// The folder of the module ZYPTEST.ENU and its pictures, made once per test.
struct TestResources {
  std::string folder = zyp::testing::make_temp_folder("ui-resources");
  ZYPResourceModule* module = nullptr;

  TestResources() {
    write_file(folder + "/ZYPTEST.ENU", kTestModule);
    write_file(folder + "/app.ico", icon_bytes());
    write_file(folder + "/banner.bmp", bitmap_bytes(0xFF));
    write_file(folder + "/notes.txt", "not a picture");
    write_file(folder + "/intro.avi", clip_bytes());
    const char* before = getenv("ZYP_RESOURCE_DIR");
    std::string kept = before ? before : "";
    setenv("ZYP_RESOURCE_DIR", folder.c_str(), 1);
    module = ZYPLoadResource("ZYPTEST");
    if (before) {
      setenv("ZYP_RESOURCE_DIR", kept.c_str(), 1);
    } else {
      unsetenv("ZYP_RESOURCE_DIR");
    }
  }
  ~TestResources() { ZYPFreeResource(module); }
  TestResources(const TestResources&) = delete;
  TestResources& operator=(const TestResources&) = delete;

  std::string path(const std::string& name) const { return folder + "/" + name; }
};

}  // namespace zyp::tools::testing
