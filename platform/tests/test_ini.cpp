#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <functional>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/ini.h"
#include "platform/last_error.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

struct EditCase {
  const char* what;
  const char* before;
  std::function<bool(IniDocument&)> edit;
  const char* after;
};

TEST(IniDocument, EditsGiveExactlyTheExpectedText) {
  const EditCase cases[] = {
      {"new section goes to the end", "[A]\r\nx=1\r\n",
       [](IniDocument& d) { return d.set("B", "y", "2"); }, "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
      {"new section in an empty document", "", [](IniDocument& d) { return d.set("S", "k", "v"); },
       "[S]\r\nk=v\r\n"},
      {"new key after the last key, before blank lines and the next section",
       "[A]\r\nx=1\r\n\r\n[B]\r\nz=3\r\n", [](IniDocument& d) { return d.set("a", "y", "2"); },
       "[A]\r\nx=1\r\ny=2\r\n\r\n[B]\r\nz=3\r\n"},
      {"new key in a section without keys goes right after the header", "[A]\r\n; note\r\n[B]\r\n",
       [](IniDocument& d) { return d.set("A", "k", "v"); }, "[A]\r\nk=v\r\n; note\r\n[B]\r\n"},
      {"value replaced in place, stored key spelling kept", "[A]\r\n  Key = old \r\nz=1\r\n",
       [](IniDocument& d) { return d.set("a", "KEY", "new"); }, "[A]\r\nKey=new\r\nz=1\r\n"},
      {"only the first section of a name is written", "[A]\r\nx=1\r\n[a]\r\nx=2\r\n",
       [](IniDocument& d) { return d.set("A", "x", "3"); }, "[A]\r\nx=3\r\n[a]\r\nx=2\r\n"},
      {"key deleted, other lines kept", "[A]\r\nx=1\r\n;c\r\ny=2\r\nz=3\r\n",
       [](IniDocument& d) { return d.erase_key("a", "Y"); }, "[A]\r\nx=1\r\n;c\r\nz=3\r\n"},
      {"section deleted with every block and line of it", "top\r\n[A]\r\nx=1\r\n;c\r\n[B]\r\ny=2\r\n[a]\r\nz=3\r\n",
       [](IniDocument& d) { return d.erase_section("A"); }, "top\r\n[B]\r\ny=2\r\n"},
      {"lone LF input comes out as CR LF", "[A]\nx=1\n; note\n",
       [](IniDocument& d) { return d.set("A", "y", "2"); }, "[A]\r\nx=1\r\ny=2\r\n; note\r\n"},
      {"last line without an end", "[A]\r\nx=1", [](IniDocument& d) { return d.set("A", "x", "2"); },
       "[A]\r\nx=2\r\n"},
      {"quotes are stored as given", "", [](IniDocument& d) { return d.set("A", "\"k\"", "\"v\""); },
       "[A]\r\n\"k\"=\"v\"\r\n"},
      {"empty section added once", "[A]\r\n",
       [](IniDocument& d) { return d.add_section("a") && d.add_section("B") && d.add_section("b"); },
       "[A]\r\n[B]\r\n"},
  };
  for (const auto& c : cases) {
    IniDocument doc(c.before);
    EXPECT_TRUE(c.edit(doc)) << c.what;
    EXPECT_EQ(doc.text(), c.after) << c.what;
  }
}

TEST(IniDocument, ErasingWhatIsMissingChangesNothing) {
  IniDocument doc("[A]\r\nx=1\r\n");
  EXPECT_FALSE(doc.erase_key("A", "y"));
  EXPECT_FALSE(doc.erase_key("B", "x"));
  EXPECT_FALSE(doc.erase_section("B"));
  EXPECT_EQ(doc.text(), "[A]\r\nx=1\r\n");
}

TEST(IniDocument, RefusesWhatCannotStandOnOneLine) {
  const char* original = "[A]\r\nx=1\r\n";
  IniDocument doc(original);
  EXPECT_FALSE(doc.set("A", "k=1", "v"));
  EXPECT_FALSE(doc.set("A", "k", "two\r\nlines"));
  EXPECT_FALSE(doc.set("A", "k", std::string_view("nul\0inside", 10)));
  EXPECT_FALSE(doc.set("A\n", "k", "v"));
  EXPECT_FALSE(doc.set("", "k", "v"));
  EXPECT_FALSE(doc.set("A", " ", "v"));
  EXPECT_FALSE(doc.set("A", "[k]", "v"));
  EXPECT_FALSE(doc.set("A", ";k", "v"));
  EXPECT_EQ(doc.text(), original);
}

struct ReadCase {
  const char* text;
  const char* section;
  const char* key;
  std::optional<std::string> value;
};

TEST(IniDocument, ReadsLikeGetPrivateProfileString) {
  const ReadCase cases[] = {
      {"[General]\r\nPin=1234\r\n", "GENERAL", "pin", "1234"},
      {"[ A ]\r\n  k  =  v w \t\r\n", "A", "k", "v w"},
      {"[A]\r\nk=\"quoted\"\r\n", "A", "k", "quoted"},
      {"[A]\r\nk=\"\"x\"\"\r\n", "A", "k", "\"x\""},
      {"[A]\r\nk=\" padded \"\r\n", "A", "k", " padded "},
      {"[A]\r\nk=\"x\r\n", "A", "k", "\"x"},
      {"[A]\r\nk=\"\r\n", "A", "k", "\""},
      {"[A]\r\nk=\"\"\r\n", "A", "k", ""},
      {"[A]\r\nk=\r\n", "A", "k", ""},
      {"[A]\r\nk=a=b\r\n", "A", "k", "a=b"},
      {"[A]\nk=lf\n", "A", "k", "lf"},
      {"[A]\r\nk=first\r\nK=second\r\n", "A", "k", "first"},
      {"[A]\r\nk=first\r\n[a]\r\nk=second\r\nj=hidden\r\n", "A", "k", "first"},
      {"[A]\r\nk=first\r\n[a]\r\nj=hidden\r\n", "A", "j", std::nullopt},
      {"[A]\r\n;k=comment\r\n", "A", "k", std::nullopt},
      {"[A]\r\n;k=comment\r\n", "A", ";k", std::nullopt},
      {"[A]\r\nk\r\n", "A", "k", std::nullopt},
      {"k=before any section\r\n[A]\r\n", "A", "k", std::nullopt},
      {"[A]\r\nk=1\r\n", "B", "k", std::nullopt},
  };
  for (const auto& c : cases) {
    IniDocument doc(c.text);
    EXPECT_EQ(doc.value(c.section, c.key), c.value) << c.text;
  }
}

TEST(IniDocument, RawValueKeepsTheQuotes) {
  IniDocument doc("[A]\r\n\"name\" = \"text\" \r\n");
  EXPECT_EQ(doc.raw_value("A", "\"NAME\""), "\"text\"");
  ASSERT_EQ(doc.entries("a").size(), 1u);
  EXPECT_EQ(doc.entries("a")[0].key, "\"name\"");
  EXPECT_EQ(doc.entries("a")[0].value, "\"text\"");
}

TEST(IniDocument, ListsNamesOnceInFileOrderAndFirstSpelling) {
  IniDocument doc(
      "; head\r\n[Zeta]\r\nb=1\r\nA=2\r\nB=3\r\n;c=4\r\nnot a key\r\n[alpha]\r\n[ZETA]\r\nlate=1\r\n[_Object_0000]\r\n");
  EXPECT_EQ(doc.section_names(), (std::vector<std::string>{"Zeta", "alpha", "_Object_0000"}));
  EXPECT_EQ(doc.key_names("zeta"), (std::vector<std::string>{"b", "A"}));
  EXPECT_TRUE(doc.key_names("alpha").empty());
  EXPECT_TRUE(doc.key_names("missing").empty());
  EXPECT_TRUE(doc.has_section("ALPHA"));
  EXPECT_FALSE(doc.has_section("head"));
}

TEST(IniDocument, UntouchedTextSurvivesARoundTrip) {
  const char* text = "; comment\r\n\r\n[A]\r\n  spaced = value  \r\nodd line\r\n[B]\r\n";
  EXPECT_EQ(IniDocument(text).text(), text);
}

struct ListCase {
  std::vector<std::string> names;
  size_t size;
  std::string expected;  // the buffer contents up to the result + 1 or 2 NULs
  size_t result;
};

TEST(DoubleNulList, FitsOrIsCutToEndWithTwoNuls) {
  using namespace std::string_literals;
  const ListCase cases[] = {
      {{"ab", "c"}, 10, "ab\0c\0\0"s, 5},
      {{"ab", "c"}, 6, "ab\0c\0\0"s, 5},
      {{"ab", "c"}, 5, "ab\0\0\0"s, 3},
      {{"abcdef"}, 4, "ab\0\0"s, 2},
      {{"ab"}, 2, "\0\0"s, 0},
      {{"ab"}, 1, "\0"s, 0},
      {{}, 4, "\0\0"s, 0},
      {{}, 1, "\0"s, 0},
  };
  for (const auto& c : cases) {
    std::string buffer(c.size, 'x');
    EXPECT_EQ(to_double_nul_list(c.names, buffer.data(), c.size), c.result) << c.size;
    EXPECT_EQ(buffer.substr(0, c.expected.size()), c.expected) << c.size;
  }
  EXPECT_EQ(to_double_nul_list({"a"}, nullptr, 0), 0u);
}

class ProfileFile : public ::testing::Test {
 protected:
  std::string path_ = zyp::testing::make_temp_folder("ini") + "/desktop.ini";
};

TEST_F(ProfileFile, WritingCreatesTheFileAndReadsSeeIt) {
  EXPECT_EQ(get_profile_string(path_, "Ambrel", "User", "none"), "none");
  EXPECT_TRUE(get_profile_section_names(path_).empty());
  ASSERT_TRUE(write_profile_string(path_, ".ShellClassInfo", "ConfirmFileOp", "0"));
  ASSERT_TRUE(write_profile_string(path_, "Ambrel", "Algo", "3"));
  ASSERT_TRUE(write_profile_string(path_, "Ambrel", "User", "\"Jo\""));
  EXPECT_EQ(read_whole_file(path_), "[.ShellClassInfo]\r\nConfirmFileOp=0\r\n[Ambrel]\r\nAlgo=3\r\nUser=\"Jo\"\r\n");
  EXPECT_EQ(get_profile_string(path_, "AMBREL", "user", ""), "Jo");
  EXPECT_EQ(get_profile_section_names(path_), (std::vector<std::string>{".ShellClassInfo", "Ambrel"}));
  EXPECT_EQ(get_profile_key_names(path_, "ambrel"), (std::vector<std::string>{"Algo", "User"}));

  ASSERT_TRUE(delete_profile_key(path_, ".ShellClassInfo", "ConfirmFileOp"));
  ASSERT_TRUE(delete_profile_section(path_, "Ambrel"));
  EXPECT_EQ(read_whole_file(path_), "[.ShellClassInfo]\r\n");
}

TEST_F(ProfileFile, DeletingFromAMissingFileSucceedsWithoutCreatingIt) {
  EXPECT_TRUE(delete_profile_key(path_, "A", "k"));
  EXPECT_TRUE(delete_profile_section(path_, "A"));
  struct stat st {};
  EXPECT_NE(stat(path_.c_str(), &st), 0);
}

TEST_F(ProfileFile, IntegersReadLikeGetPrivateProfileInt) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"42", 42},        {" 42 ", 42},  {"17 apples", 17},       {"-1", 0xFFFFFFFFu}, {"+8", 8},
      {"0x1F", 0x1F},    {"0XfF", 0xFF}, {"4294967297", 1},     {"apples", 0},       {"\"12\"", 12},
  };
  for (const auto& [text, expected] : cases) {
    ASSERT_TRUE(write_profile_string(path_, "N", "k", text));
    EXPECT_EQ(get_profile_int(path_, "N", "k", 7), expected) << text;
  }
  ASSERT_TRUE(write_profile_string(path_, "N", "k", ""));
  EXPECT_EQ(get_profile_int(path_, "N", "k", 7), 7u);
  EXPECT_EQ(get_profile_int(path_, "N", "missing", -2), 0xFFFFFFFEu);
}

TEST_F(ProfileFile, ReadOnlyFileIsRefusedAndKept) {
  ASSERT_TRUE(write_profile_string(path_, "A", "k", "1"));
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  set_last_error(0);
  EXPECT_FALSE(write_profile_string(path_, "A", "k", "2"));
  EXPECT_EQ(last_error(), kErrorAccessDenied);
  EXPECT_EQ(read_whole_file(path_), "[A]\r\nk=1\r\n");
}

TEST_F(ProfileFile, RewriteKeepsModeAndExtendedAttributes) {
  ASSERT_TRUE(write_profile_string(path_, "A", "k", "1"));
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  const char attributes[] = "\x06\x00\x00\x00";  // hidden and system
  bool have_xattrs = setxattr(path_.c_str(), "user.zyp.attributes", attributes, 4, 0) == 0;
  ASSERT_TRUE(write_profile_string(path_, "A", "k", "2"));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (!have_xattrs) GTEST_SKIP() << "no user extended attributes here";
  char got[8] = {};
  EXPECT_EQ(getxattr(path_.c_str(), "user.zyp.attributes", got, sizeof got), 4);
  EXPECT_EQ(std::string(got, 4), std::string(attributes, 4));
}

TEST_F(ProfileFile, UnreadableFileIsNeverOverwritten) {
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);  // a folder where the file should be
  EXPECT_FALSE(read_ini_file(path_));
  EXPECT_FALSE(write_profile_string(path_, "A", "k", "1"));
  EXPECT_NE(last_error(), 0u);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(ProfileFile, WritesFromSeveralThreadsAreNotLost) {
  constexpr int kThreads = 4;
  constexpr int kKeys = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int k = 0; k < kKeys; ++k) {
        write_profile_string(path_, "S" + std::to_string(t), "k" + std::to_string(k), std::to_string(t * 100 + k));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(get_profile_key_names(path_, "S" + std::to_string(t)).size(), size_t{kKeys}) << t;
  }
}

}  // namespace
}  // namespace zyp::platform
