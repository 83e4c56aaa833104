#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/registry.h"
#include "testsupport/test_env.h"

namespace zyp::platform::reg {
namespace {

constexpr Root kLM = Root::LocalMachine;
constexpr Root kCU = Root::CurrentUser;

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> with_nul(std::string_view text) {
  auto data = bytes(text);
  data.push_back(0);
  return data;
}

std::vector<std::string> value_names(Root root, std::string_view path) {
  std::vector<std::string> names;
  Value value;
  for (uint32_t i = 0; enum_value(root, path, i, value) == 0; ++i) names.push_back(value.name);
  return names;
}

std::vector<std::string> subkey_names(Root root, std::string_view path) {
  std::vector<std::string> names;
  std::string name;
  for (uint32_t i = 0; enum_key(root, path, i, name) == 0; ++i) names.push_back(name);
  return names;
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Fresh hive folders for every test, also when all tests run in one process.
class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ZYP_MACHINE_DIR", zyp::testing::make_temp_folder("machine").c_str(), 1);
    setenv("ZYP_USER_DIR", zyp::testing::make_temp_folder("user").c_str(), 1);
  }
};

TEST_F(Registry, EveryTypeReadsBackExactly) {
  std::vector<uint8_t> large(5000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  const Value cases[] = {
      {"plain", kString, with_nul("hello world")},
      {"empty", kString, with_nul("")},
      {"", kString, with_nul("the unnamed value")},
      {"lines", kString, with_nul("one\r\ntwo\n")},
      {"blanks", kString, with_nul("  padded\t")},
      {"quoted", kString, with_nul("\"in quotes\"")},
      {"looks typed", kString, with_nul("dword:00000001")},
      {"no nul", kString, bytes("abc")},
      {"inner nul", kString, bytes(std::string_view("a\0b\0", 4))},
      {"nothing", kString, {}},
      {"word", kDWord, {0x78, 0x56, 0x34, 0x12}},
      {"short word", kDWord, {1, 2, 3}},
      {"zeros", kBinary, {0, 0, 0}},
      {"no bytes", kBinary, {}},
      {"large", kBinary, large},
      {"expand", kExpandString, with_nul("%HOME%/x")},
      {"multi", kMultiString, bytes(std::string_view("a\0bc\0\0", 6))},
      {"qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"none", kNone, {}},
      {" \"odd\" name; [x] ", kString, with_nul("v")},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(set_value(kLM, "Types", c.name, c.type, c.data.data(), c.data.size()), 0u) << c.name;
  }
  for (const auto& c : cases) {
    Value got;
    ASSERT_EQ(query_value(kLM, "Types", c.name, got), 0u) << c.name;
    EXPECT_EQ(got.name, c.name);
    EXPECT_EQ(got.type, c.type) << c.name;
    EXPECT_EQ(got.data, c.data) << c.name;
  }
  EXPECT_EQ(value_names(kLM, "Types").size(), std::size(cases));
}

TEST_F(Registry, HiveTextIsTheExportLayout) {
  const char* key = "SOFTWARE\\Quillmarsh\\General";
  ASSERT_EQ(set_string(kLM, key, "AppTitle", "Quillmarsh Folder"), 0u);
  ASSERT_EQ(set_dword(kLM, key, "TraceFlag", 10), 0u);
  const uint8_t blob[] = {0x00, 0xAB, 0xFF};
  ASSERT_EQ(set_value(kLM, key, "Blob", kBinary, blob, sizeof blob), 0u);
  ASSERT_EQ(set_string(kLM, key, "", "d"), 0u);
  ASSERT_EQ(set_string(kLM, key, "Lines", "a\r\nb"), 0u);
  ASSERT_EQ(set_dword(kLM, "SOFTWARE\\Quillmarsh\\Empty", "", 1), 0u);
  ASSERT_EQ(delete_value(kLM, "SOFTWARE\\Quillmarsh\\Empty", ""), 0u);
  ASSERT_EQ(set_dword(kLM, key, "TraceFlag", 0xDEADBEEF), 0u);

  EXPECT_EQ(read_whole_file(machine_dir() + "/HKLM.reg"),
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmarsh]\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmarsh\\General]\r\n"
            "\"AppTitle\"=\"Quillmarsh Folder\"\r\n"
            "\"TraceFlag\"=dword:DEADBEEF\r\n"
            "\"Blob\"=hex:00,AB,FF\r\n"
            "@=\"d\"\r\n"
            "\"Lines\"=hex(1):61,0D,0A,62,00\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmarsh\\Empty]\r\n");
}

TEST_F(Registry, HivesLiveInTheirFolders) {
  EXPECT_EQ(hive_file(Root::LocalMachine, "x"), machine_dir() + "/HKLM.reg");
  EXPECT_EQ(hive_file(Root::ClassesRoot, "x"), machine_dir() + "/HKCR.reg");
  EXPECT_EQ(hive_file(Root::CurrentUser, "x"), user_dir() + "/HKCU.reg");
  EXPECT_EQ(hive_file(Root::Users, "Jo.Doe/1\\Software"), machine_dir() + "/users/jo.doe%2F1.reg");
  EXPECT_EQ(hive_file(Root::Users, ""), "");
  ASSERT_EQ(set_string(kCU, "Software\\Quillmarsh", "v", "x"), 0u);
  EXPECT_TRUE(exists(user_dir() + "/HKCU.reg"));
  EXPECT_FALSE(exists(machine_dir() + "/HKLM.reg"));
}

TEST_F(Registry, KeysAreCreatedAlongThePathAndMatchedWithoutCase) {
  EXPECT_EQ(open_key(kCU, "Software"), 2u);
  ASSERT_EQ(create_key(kCU, "Software\\Quill\\Alpha"), 0u);
  EXPECT_EQ(open_key(kCU, "software"), 0u);
  EXPECT_EQ(open_key(kCU, "SOFTWARE\\quill\\ALPHA"), 0u);
  EXPECT_EQ(open_key(kCU, "\\Software\\\\Quill\\"), 0u);
  EXPECT_EQ(open_key(kCU, "Software\\Quill\\Beta"), 2u);
  EXPECT_EQ(open_key(kCU, "Software\\Qui"), 2u);
  ASSERT_EQ(create_key(kCU, "SOFTWARE\\QUILL\\Beta"), 0u);
  ASSERT_EQ(create_key(kCU, "software\\quill\\alpha"), 0u);
  EXPECT_EQ(subkey_names(kCU, "SOFTWARE\\QUILL"), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(subkey_names(kCU, ""), (std::vector<std::string>{"Software"}));
  EXPECT_TRUE(subkey_names(kCU, "Software\\Quill\\Beta").empty());
  std::string name;
  EXPECT_EQ(enum_key(kCU, "Software\\Missing", 0, name), 2u);

  for (Root root : {Root::ClassesRoot, Root::CurrentUser, Root::LocalMachine, Root::Users}) {
    EXPECT_EQ(open_key(root, ""), 0u);
    EXPECT_EQ(create_key(root, ""), 0u);
  }
}

TEST_F(Registry, ValuesKeepTheirPlaceAndCase) {
  ASSERT_EQ(set_string(kLM, "K", "First", "1"), 0u);
  ASSERT_EQ(set_string(kLM, "K", "Second", "2"), 0u);
  ASSERT_EQ(set_string(kLM, "K", "Third", "3"), 0u);
  ASSERT_EQ(set_dword(kLM, "k", "Second", 22), 0u);
  ASSERT_EQ(set_dword(kLM, "k", "SECOND", 23), 0u);
  EXPECT_EQ(value_names(kLM, "K"), (std::vector<std::string>{"First", "Second", "Third", "SECOND"}));
  Value value;
  ASSERT_EQ(query_value(kLM, "K", "Second", value), 0u);
  EXPECT_EQ(value.type, kDWord);
  EXPECT_EQ(value.data[0], 22);
  EXPECT_EQ(query_value(kLM, "K", "second", value), 2u);
  EXPECT_EQ(query_value(kLM, "K", "Fourth", value), 2u);
  EXPECT_EQ(query_value(kLM, "Missing", "First", value), 2u);
  EXPECT_EQ(enum_value(kLM, "K", 4, value), 259u);
  EXPECT_EQ(enum_value(kLM, "Missing", 0, value), 2u);
}

TEST_F(Registry, EnumerationSurvivesChangesBetweenCalls) {
  for (const char* name : {"a", "b", "c"}) ASSERT_EQ(set_dword(kLM, "K", name, 1), 0u);
  Value value;
  ASSERT_EQ(enum_value(kLM, "K", 0, value), 0u);
  ASSERT_EQ(delete_value(kLM, "K", "a"), 0u);
  ASSERT_EQ(enum_value(kLM, "K", 1, value), 0u);
  EXPECT_EQ(value.name, "c");
  ASSERT_EQ(delete_value(kLM, "K", "b"), 0u);
  EXPECT_EQ(enum_value(kLM, "K", 1, value), 259u);
  ASSERT_EQ(set_dword(kLM, "K", "d", 1), 0u);
  ASSERT_EQ(enum_value(kLM, "K", 1, value), 0u);
  EXPECT_EQ(value.name, "d");
}

TEST_F(Registry, DeletesValuesKeysAndTrees) {
  ASSERT_EQ(set_string(kLM, "Top\\Mid\\Leaf", "v", "x"), 0u);
  ASSERT_EQ(set_string(kLM, "Top\\Mid\\Leaf2", "v", "x"), 0u);
  ASSERT_EQ(set_string(kLM, "Top\\Other", "v", "x"), 0u);
  ASSERT_EQ(set_string(kLM, "Topping", "v", "x"), 0u);

  EXPECT_EQ(delete_value(kLM, "Top\\Mid\\Leaf", "missing"), 2u);
  EXPECT_EQ(delete_value(kLM, "Top\\Mid\\Leaf", "V"), 2u) << "value names keep their case";
  EXPECT_EQ(delete_value(kLM, "Top\\Mid\\Leaf", "v"), 0u);
  EXPECT_TRUE(value_names(kLM, "Top\\Mid\\Leaf").empty());
  EXPECT_EQ(open_key(kLM, "Top\\Mid\\Leaf"), 0u) << "a key without values stays";

  EXPECT_EQ(delete_key(kLM, "Top\\Mid"), 5u);
  EXPECT_EQ(delete_key(kLM, "Top\\Mid\\Nothing"), 2u);
  EXPECT_EQ(delete_key(kLM, "top\\mid\\LEAF"), 0u);
  EXPECT_EQ(open_key(kLM, "Top\\Mid\\Leaf"), 2u);
  EXPECT_EQ(open_key(kLM, "Top\\Mid\\Leaf2"), 0u);
  EXPECT_EQ(delete_key(kLM, ""), 5u);

  EXPECT_EQ(delete_tree(kLM, "Top\\Nothing"), 2u);
  EXPECT_EQ(delete_tree(kLM, "TOP"), 0u);
  EXPECT_EQ(open_key(kLM, "Top"), 2u);
  EXPECT_EQ(open_key(kLM, "Top\\Other"), 2u);
  EXPECT_EQ(open_key(kLM, "Topping"), 0u) << "a key that only shares a prefix stays";
}

TEST_F(Registry, UnnamedValueMayBeWrittenEitherWay) {
  std::string hive = machine_dir() + "/HKLM.reg";
  ASSERT_TRUE(write_file_atomically(hive,
                                    "; written by hand\r\n"
                                    "[HKEY_LOCAL_MACHINE\\Hand]\r\n"
                                    "\"\"=dword:0000002a\r\n"
                                    "\"bytes\" = hex:0a, 0B\r\n"
                                    "\"bad\"=dword:zz\r\n"
                                    "\"bad too\"=hex:123\r\n"
                                    "unquoted=\"skipped\"\r\n"
                                    "\"bare\"=text\r\n"));
  Value value;
  ASSERT_EQ(query_value(kLM, "hand", "", value), 0u);
  EXPECT_EQ(value.data, (std::vector<uint8_t>{0x2a, 0, 0, 0}));
  EXPECT_EQ(value_names(kLM, "Hand"), (std::vector<std::string>{"", "bytes", "bare"}));
  ASSERT_EQ(query_value(kLM, "hand", "bytes", value), 0u);
  EXPECT_EQ(value.data, (std::vector<uint8_t>{0x0A, 0x0B}));
  ASSERT_EQ(query_value(kLM, "hand", "bare", value), 0u);
  EXPECT_EQ(value.data, with_nul("text"));

  ASSERT_EQ(set_string(kLM, "Hand", "", "now a string"), 0u);
  EXPECT_EQ(value_names(kLM, "Hand").front(), "");
  ASSERT_EQ(delete_value(kLM, "Hand", ""), 0u);
  EXPECT_EQ(query_value(kLM, "Hand", "", value), 2u);
  EXPECT_EQ(read_whole_file(hive)->substr(0, 18), "; written by hand\r");
}

TEST_F(Registry, EachUserHasAHiveOfItsOwn) {
  ASSERT_EQ(set_string(Root::Users, "S-1-5-21-Jo\\Software", "v", "1"), 0u);
  ASSERT_EQ(create_key(Root::Users, "s-1-5-21-ann"), 0u);
  std::string jo = machine_dir() + "/users/s-1-5-21-jo.reg";
  EXPECT_TRUE(exists(jo));
  EXPECT_EQ(subkey_names(Root::Users, ""), (std::vector<std::string>{"s-1-5-21-ann", "S-1-5-21-Jo"}));
  EXPECT_EQ(open_key(Root::Users, "s-1-5-21-JO\\software"), 0u);
  EXPECT_EQ(set_string(Root::Users, "", "v", "1"), 5u);
  EXPECT_EQ(delete_tree(Root::Users, ""), 5u);

  ASSERT_EQ(delete_tree(Root::Users, "s-1-5-21-jo"), 0u);
  EXPECT_FALSE(exists(jo));
  EXPECT_EQ(subkey_names(Root::Users, ""), (std::vector<std::string>{"s-1-5-21-ann"}));
}

// Value names are often paths (exclusion lists): case matters and any
// character that can stand between quotes on one line must be storable.
TEST_F(Registry, ValueNamesAreExactAndAnyQuotableNameIsStored) {
  const std::string names[] = {
      "/home/u/Secret", "/home/u/secret", "/home/u/a=b", "=", "a\"quoted\"", "back\\slash\\",
      "ends\\", "\"", " padded ", "caf\xc3\xa9",
  };
  for (uint32_t i = 0; i < std::size(names); ++i) ASSERT_EQ(set_dword(kCU, "Excl", names[i], i), 0u) << names[i];
  EXPECT_EQ(value_names(kCU, "Excl"), std::vector<std::string>(std::begin(names), std::end(names)));
  for (uint32_t i = 0; i < std::size(names); ++i) {
    Value value;
    ASSERT_EQ(query_value(kCU, "Excl", names[i], value), 0u) << names[i];
    EXPECT_EQ(value.data, (std::vector<uint8_t>{static_cast<uint8_t>(i), 0, 0, 0})) << names[i];
  }
  Value value;
  EXPECT_EQ(query_value(kCU, "Excl", "/HOME/U/SECRET", value), 2u);
  EXPECT_EQ(delete_value(kCU, "Excl", "/home/u/Secret"), 0u);
  EXPECT_EQ(query_value(kCU, "Excl", "/home/u/secret", value), 0u);
  EXPECT_EQ(delete_value(kCU, "Excl", "/home/u/Secret"), 2u);
  std::string hive = read_whole_file(user_dir() + "/HKCU.reg").value_or("");
  EXPECT_NE(hive.find("\r\n\"/home/u/a=b\"=dword:00000002\r\n\"=\"=dword:00000003\r\n"), std::string::npos) << hive;
  EXPECT_NE(hive.find("\r\n\"a\\\"quoted\\\"\"=dword:00000004\r\n\"back\\\\slash\\\\\"="), std::string::npos) << hive;
}

// A hand-written backslash before an ordinary character stays a backslash.
TEST_F(Registry, HandWrittenBackslashesInValueNamesAreKept) {
  ASSERT_TRUE(write_file_atomically(user_dir() + "/HKCU.reg",
                                    "[HKEY_CURRENT_USER\\Old]\r\n\"C:\\Data\"=dword:00000001\r\n", 0600));
  EXPECT_EQ(value_names(kCU, "Old"), (std::vector<std::string>{"C:\\Data"}));
}

TEST_F(Registry, RefusesUnknownRootsAndUnstorableNames) {
  auto config = static_cast<Root>(0x80000005u);
  EXPECT_STREQ(root_name(config), "HKEY_CURRENT_CONFIG");
  EXPECT_STREQ(root_name(static_cast<Root>(0x80000004u)), "");
  EXPECT_EQ(open_key(config, ""), 6u);
  EXPECT_EQ(set_dword(config, "k", "v", 1), 6u);
  EXPECT_EQ(flush(config), 6u);
  EXPECT_EQ(flush(kLM), 0u);
  EXPECT_EQ(set_dword(kLM, "k", "a\nb", 1), 87u);
  EXPECT_EQ(set_dword(kLM, "k", std::string("a\0b", 3), 1), 87u);
  EXPECT_EQ(set_dword(kLM, "k", "a\rb", 1), 87u);
  EXPECT_EQ(set_dword(kLM, "k\nx", "v", 1), 87u);
  EXPECT_EQ(create_key(kLM, "k\\ padded"), 87u);
  EXPECT_EQ(set_value(kLM, "k", "v", kBinary, nullptr, 4), 87u);
  EXPECT_EQ(open_key(kLM, "k"), 2u);
}

int read_then_write(void*) {
  Value value;
  if (query_value(kCU, "Shared", "from parent", value) != 0) return 10;
  if (value.data != with_nul("hello")) return 11;
  return set_dword(kCU, "Shared", "from child", 7) == 0 ? 0 : 12;
}

TEST_F(Registry, AnotherProcessSeesChangesAtItsNextCall) {
  ASSERT_EQ(set_string(kCU, "Shared", "from parent", "hello"), 0u);
  Value value;
  ASSERT_EQ(query_value(kCU, "Shared", "from parent", value), 0u);
  ASSERT_EQ(zyp::testing::run_in_child(read_then_write, nullptr), 0);
  ASSERT_EQ(query_value(kCU, "Shared", "from child", value), 0u);
  EXPECT_EQ(value.data, (std::vector<uint8_t>{7, 0, 0, 0}));
}

int write_twenty(void* arg) {
  auto tag = *static_cast<const char*>(arg);
  for (int i = 0; i < 20; ++i) {
    if (set_dword(kLM, "Race", std::string(1, tag) + std::to_string(i), static_cast<uint32_t>(i)) != 0) return 1;
  }
  return 0;
}

TEST_F(Registry, ConcurrentWritersLoseNoChange) {
  static const char tags[] = {'a', 'b'};
  pid_t parent_writer = fork();
  ASSERT_GE(parent_writer, 0);
  if (parent_writer == 0) _exit(write_twenty(const_cast<char*>(&tags[0])));
  EXPECT_EQ(zyp::testing::run_in_child(write_twenty, const_cast<char*>(&tags[1])), 0);
  int status = 0;
  ASSERT_EQ(waitpid(parent_writer, &status, 0), parent_writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(value_names(kLM, "Race").size(), 40u);
}

}  // namespace
}  // namespace zyp::platform::reg
