#include <gtest/gtest.h>

#include "platform/registry.h"
#include "testsupport/test_env.h"
#include "toolbox/tests/tree_helpers.h"
#include "zyp/zyptools.h"

namespace {

namespace reg = zyp::platform::reg;
using zyp::tools::testing::read_file;
using zyp::tools::testing::write_file;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCurrentUser = 0x80000001;
constexpr char kKey[] = "Software\\Example";

std::string new_file() { return zyp::testing::make_temp_folder("regfile") + "/export.reg"; }

Bytes text_data(const std::string& text) {
  Bytes data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

Bytes word_data(uint32_t word) {
  return {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word >> 16),
          static_cast<uint8_t>(word >> 24)};
}

void set(const std::string& path, const std::string& name, uint32_t type, const Bytes& data) {
  ASSERT_EQ(reg::set_value(reg::Root::CurrentUser, path, name, type, data.data(), data.size()), 0u);
}

void clear_user_hive() {
  uint32_t rc = reg::delete_tree(reg::Root::CurrentUser, "Software");
  ASSERT_TRUE(rc == 0 || rc == 2) << rc;
}

// The value's type and data, or type kNone when it is missing.
reg::Value get(const std::string& path, const std::string& name) {
  reg::Value value;
  if (reg::query_value(reg::Root::CurrentUser, path, name, value) != 0) value.type = reg::kNone;
  return value;
}

TEST(RegFile, StringAndWordExportAndReimport) {
  clear_user_hive();
  set(kKey, "s", reg::kString, text_data("x"));
  set(kKey, "w", reg::kDWord, word_data(10));
  std::string file = new_file();
  ASSERT_EQ(ZYPRegExport(kCurrentUser, kKey, file.c_str()), 0);
  EXPECT_EQ(read_file(file), "[HKEY_CURRENT_USER\\Software\\Example]\r\n\"s\"=\"x\"\r\n\"w\"=dword:0000000A\r\n");

  clear_user_hive();
  ASSERT_EQ(ZYPRegImport(file.c_str()), 0);
  reg::Value s = get(kKey, "s");
  EXPECT_EQ(s.type, reg::kString);
  EXPECT_EQ(s.data, text_data("x"));
  reg::Value w = get(kKey, "w");
  EXPECT_EQ(w.type, reg::kDWord);
  EXPECT_EQ(w.data, word_data(10));
}

TEST(RegFile, EveryExportedKindRoundTrips) {
  struct Case {
    const char* what;
    std::string name;
    uint32_t type;
    Bytes data;
    const char* line;
  };
  Bytes large(4096);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  const Case cases[] = {
      {"unnamed string as @", "", reg::kString, text_data("default text"), "@=\"default text\""},
      {"unnamed word as \"\"", "", reg::kDWord, word_data(0xFFFFFFFF), "\"\"=dword:FFFFFFFF"},
      {"unnamed binary as \"\"", "", reg::kBinary, {1, 2}, "\"\"=hex:01,02"},
      {"binary bytes", "b", reg::kBinary, {0x00, 0xAB, 0xFF}, "\"b\"=hex:00,AB,FF"},
      {"empty binary", "e", reg::kBinary, {}, "\"e\"=hex:"},
      {"empty string", "t", reg::kString, text_data(""), "\"t\"=\"\""},
      {"quotes and blanks inside a string", "q", reg::kString, text_data(" \"a\" "), "\"q\"=\" \"a\" \""},
      {"binary of the largest size", "big", reg::kBinary, large, nullptr},
  };
  for (const Case& c : cases) {
    clear_user_hive();
    set(kKey, c.name, c.type, c.data);
    std::string file = new_file();
    ASSERT_EQ(ZYPRegExport(kCurrentUser, kKey, file.c_str()), 0) << c.what;
    std::string text = read_file(file);
    if (c.line) {
      EXPECT_NE(text.find(std::string("\r\n") + c.line + "\r\n"), std::string::npos) << c.what << text;
    }

    clear_user_hive();
    ASSERT_EQ(ZYPRegImport(file.c_str()), 0) << c.what;
    reg::Value value = get(kKey, c.name);
    EXPECT_EQ(value.type, c.type) << c.what;
    EXPECT_EQ(value.data, c.data) << c.what;
  }
}

TEST(RegFile, OnlyStringsBinariesAndWordsAreExported) {
  clear_user_hive();
  set(kKey, "expand", reg::kExpandString, text_data("%HOME%"));
  set(kKey, "multi", reg::kMultiString, Bytes{'a', 0, 'b', 0, 0});
  set(kKey, "kept", reg::kString, text_data("yes"));
  set(kKey, "lines", reg::kString, text_data("two\nlines"));  // cannot stand on one line
  std::string file = new_file();
  ASSERT_EQ(ZYPRegExport(kCurrentUser, kKey, file.c_str()), 0);
  EXPECT_EQ(read_file(file), "[HKEY_CURRENT_USER\\Software\\Example]\r\n\"kept\"=\"yes\"\r\n");
}

TEST(RegFile, ListingOfAKeyEndsAtALongNameOrLargeData) {
  clear_user_hive();
  set(kKey, "first", reg::kString, text_data("1"));
  set(kKey, std::string(50, 'n'), reg::kString, text_data("2"));
  set(kKey, "after name", reg::kString, text_data("3"));
  set(kKey + std::string("\\Sub"), "a", reg::kString, text_data("4"));
  set(kKey + std::string("\\Sub"), "big", reg::kBinary, Bytes(4097, 1));
  set(kKey + std::string("\\Sub"), "after data", reg::kString, text_data("5"));
  std::string file = new_file();
  ASSERT_EQ(ZYPRegExport(kCurrentUser, kKey, file.c_str()), 0);
  EXPECT_EQ(read_file(file),
            "[HKEY_CURRENT_USER\\Software\\Example]\r\n\"first\"=\"1\"\r\n"
            "[HKEY_CURRENT_USER\\Software\\Example\\Sub]\r\n\"a\"=\"4\"\r\n");
}

TEST(RegFile, SubtreeComesDepthFirstAfterTheValues) {
  clear_user_hive();
  set(kKey, "top", reg::kString, text_data("t"));
  set(kKey + std::string("\\A"), "a", reg::kDWord, word_data(1));
  set(kKey + std::string("\\A\\Deep"), "d", reg::kDWord, word_data(2));
  set(kKey + std::string("\\B"), "b", reg::kDWord, word_data(3));
  std::string file = new_file();
  write_file(file, "; kept\r\n[Other]\r\nx=1\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"top\"=\"old\"\r\n");
  ASSERT_EQ(ZYPRegExport(kCurrentUser, kKey, file.c_str()), 0);
  EXPECT_EQ(read_file(file),
            "; kept\r\n[Other]\r\nx=1\r\n"
            "[HKEY_CURRENT_USER\\Software\\Example]\r\n\"top\"=\"t\"\r\n"
            "[HKEY_CURRENT_USER\\Software\\Example\\A]\r\n\"a\"=dword:00000001\r\n"
            "[HKEY_CURRENT_USER\\Software\\Example\\A\\Deep]\r\n\"d\"=dword:00000002\r\n"
            "[HKEY_CURRENT_USER\\Software\\Example\\B]\r\n\"b\"=dword:00000003\r\n");

  clear_user_hive();
  ASSERT_EQ(ZYPRegImport(file.c_str()), 0);
  EXPECT_EQ(get(kKey + std::string("\\A\\Deep"), "d").data, word_data(2));
  EXPECT_EQ(get(kKey + std::string("\\B"), "b").data, word_data(3));
}

TEST(RegFile, ExportRefusals) {
  std::string file = new_file();
  EXPECT_EQ(ZYPRegExport(kCurrentUser, "Software\\Missing", file.c_str()), 1);
  EXPECT_EQ(ZYPRegExport(0x80000009, "", file.c_str()), 1);
  EXPECT_EQ(ZYPRegExport(kCurrentUser, nullptr, file.c_str()), 1);
  EXPECT_EQ(ZYPRegExport(kCurrentUser, kKey, nullptr), 1);
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(RegFile, ImportReadsValueTextsSafely) {
  struct Case {
    const char* line;
    std::string name;
    uint32_t type;  // kNone: not set
    Bytes data;
  };
  const Case cases[] = {
      {"\"h\"=hex:0a, ff ,1", "h", reg::kBinary, {0x0A, 0xFF, 0x01}},
      {"\"h\"=hex:A", "h", reg::kBinary, {0x0A}},
      {"\"h\"=hex:ABC", "h", reg::kBinary, {0xAB, 0x0C}},
      {"\"h\"=hex:12,zz,34", "h", reg::kBinary, {0x12}},
      {"\"h\"=hex:", "h", reg::kBinary, {}},
      {"\"h\"=hex:,,,", "h", reg::kBinary, {}},
      {"\"d\"=dword:ffffffff", "d", reg::kDWord, word_data(0xFFFFFFFF)},
      {"\"d\"=dword:", "d", reg::kDWord, word_data(0)},
      {"\"d\"=dword:1FFFFFFFF", "d", reg::kDWord, word_data(0xFFFFFFFF)},
      {"\"d\"=dword:  0x2a", "d", reg::kDWord, word_data(0x2A)},
      {"\"s\"=plain text", "s", reg::kString, text_data("plain text")},
      {"\"s\"=\"\"quoted twice\"\"", "s", reg::kString, text_data("\"quoted twice\"")},
      {"@=dword:00000005", "", reg::kString, text_data("dword:00000005")},
      {"\"\"=\"unnamed\"", "", reg::kString, text_data("unnamed")},
      {"unquoted=\"skipped\"", "unquoted", reg::kNone, {}},
      {"\"=\"skipped\"", "\"", reg::kNone, {}},
      {"\"half=\"skipped\"", "half", reg::kNone, {}},
  };
  for (const Case& c : cases) {
    clear_user_hive();
    std::string file = new_file();
    write_file(file, std::string("[HKEY_CURRENT_USER\\Software\\Example]\r\n") + c.line + "\r\n");
    ASSERT_EQ(ZYPRegImport(file.c_str()), 0) << c.line;
    reg::Value value = get(kKey, c.name);
    EXPECT_EQ(value.type, c.type) << c.line;
    if (c.type != reg::kNone) {
      EXPECT_EQ(value.data, c.data) << c.line;
    }
  }
}

TEST(RegFile, ImportSkipsUnknownRoots) {
  clear_user_hive();
  std::string file = new_file();
  write_file(file,
             "[NOT_A_ROOT\\Software\\Example]\r\n\"a\"=\"1\"\r\n"
             "[HKEY_CURRENT_USERS\\Example]\r\n\"a\"=\"2\"\r\n"
             "[HKEY_CURRENT_CONFIG\\Example]\r\n\"a\"=\"3\"\r\n"
             "[HKEY_CURRENT_USER\\Software\\Example]\r\n\"b\"=\"4\"\r\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Example]\r\n\"c\"=dword:00000007\r\n");
  ASSERT_EQ(ZYPRegImport(file.c_str()), 0);
  EXPECT_EQ(get(kKey, "b").data, text_data("4"));
  EXPECT_EQ(get(kKey, "a").type, reg::kNone);
  reg::Value machine;
  ASSERT_EQ(reg::query_value(reg::Root::LocalMachine, "SOFTWARE\\Example", "c", machine), 0u);
  EXPECT_EQ(machine.data, word_data(7));
  std::string names;
  for (uint32_t i = 0; reg::enum_key(reg::Root::CurrentUser, "", i, names) == 0; ++i)
    EXPECT_EQ(names, "Software");
}

TEST(RegFile, ImportRefusals) {
  std::string folder = zyp::testing::make_temp_folder("regfile");
  EXPECT_EQ(ZYPRegImport((folder + "/missing.reg").c_str()), 1);
  EXPECT_EQ(ZYPRegImport(folder.c_str()), 1);
  EXPECT_EQ(ZYPRegImport(nullptr), 1);
}

}  // namespace
