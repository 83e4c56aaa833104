// zyp sfx create and zyp sfx extract, run as the user runs them, over a
// token logged in through the server (its dialogs answered by a script).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cli/tests/zyp_run.h"
#include "platform/atomic_file.h"

namespace {

using namespace zyp::testing::cli;
using zyp::testing::cli::zyp;

constexpr char kPassword[] = "a parcel for you";

class ZypSfx : public ZypCli {
 protected:
  void SetUp() override {
    ZypCli::SetUp();
    std::string script = folder_ + "/answers";
    ASSERT_TRUE(zyp::platform::write_file_atomically(
        script, "msgbox 6\ndialog 139 set 1001 \"4321\"\ndialog 139 set 1002 \"4321\"\ndialog 139 click 1\n"));
    ::setenv("ZYP_UI", ("script:" + script).c_str(), 1);
    Outcome login = zyp({"token", "login"});
    ASSERT_EQ(login.exit_code, 0) << login;
  }
  void TearDown() override {
    ZypCli::TearDown();
    ::setenv("ZYP_UI", "none", 1);
  }

  std::string path(const std::string& name) const { return folder_ + "/" + name; }
  std::string file_with(const std::string& name, const std::string& contents) {
    EXPECT_TRUE(zyp::platform::write_file_atomically(path(name), contents));
    return path(name);
  }
  static std::string twice(const std::string& password) { return password + "\n" + password + "\n"; }
};

TEST_F(ZypSfx, CreatedArchivesOpenWithExtract) {
  std::string one = file_with("one.txt", "first\n");
  std::string two = file_with("two.bin", std::string(70000, 'z'));
  std::string archive = path("parcel");
  Outcome create = zyp({"sfx", "create", archive, one, two}, twice(kPassword));
  ASSERT_EQ(create.exit_code, 0) << create;
  EXPECT_TRUE(contains(create.out, "2 files, DES 40 bits (40-bit key)")) << create;

  Outcome list = zyp({"sfx", "extract", archive, "-l"}, std::string(kPassword) + "\n");
  ASSERT_EQ(list.exit_code, 0) << list;
  EXPECT_EQ(list.out, "size\tname\n6\tone.txt\n70000\ttwo.bin\n");

  std::string target = path("target");
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  Outcome extract = zyp({"sfx", "extract", archive, "-d", target}, std::string(kPassword) + "\n");
  ASSERT_EQ(extract.exit_code, 0) << extract;
  EXPECT_EQ(zyp::platform::read_whole_file(target + "/one.txt"), "first\n");
  EXPECT_EQ(zyp::platform::read_whole_file(target + "/two.bin"), std::string(70000, 'z'));

  Outcome again = zyp({"sfx", "extract", archive, "-d", target}, std::string(kPassword) + "\n");
  EXPECT_EQ(again.exit_code, 1) << again;
  EXPECT_TRUE(contains(again.err, "exists already")) << again;
  EXPECT_EQ(zyp({"sfx", "extract", archive, "-d", target, "-o"}, std::string(kPassword) + "\n").exit_code, 0);

  Outcome wrong = zyp({"sfx", "extract", archive, "-l"}, "not the password\n");
  EXPECT_EQ(wrong.exit_code, 1) << wrong;
  EXPECT_TRUE(contains(wrong.err, "password is wrong")) << wrong;
}

TEST_F(ZypSfx, CreateRefusesBeforeWritingAnything) {
  std::string file = file_with("file", "contents");
  ASSERT_EQ(::mkdir(path("sub").c_str(), 0700), 0);
  std::string namesake = file_with("sub/file", "other contents");
  const struct {
    std::vector<std::string> args;
    std::string input;
    const char* says;
  } cases[] = {
      {{file}, kPassword + std::string("\nanother password\n"), "the two passwords differ"},
      {{file}, twice("too short"), "10 to 100 characters"},
      {{file}, twice(std::string(101, 'p')), "10 to 100 characters"},
      {{file}, std::string(kPassword) + "\n", "confirmation is missing"},
      {{path("missing")}, twice(kPassword), "does not exist"},
      {{folder_}, twice(kPassword), "not a regular file"},
      {{file, "--algorithm", "no such algorithm"}, twice(kPassword), "no such algorithm"},
      {{file, namesake}, twice(kPassword), "Two of the files are named file"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"sfx", "create", path("out")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome run = zyp(args, c.input);
    EXPECT_EQ(run.exit_code, 1) << run;
    EXPECT_TRUE(contains(run.err, c.says)) << run;
    struct stat info {};
    EXPECT_NE(::stat(path("out").c_str(), &info), 0) << c.says;
  }
  EXPECT_EQ(zyp({"sfx", "create", path("out")}).exit_code, 2);
}

}  // namespace
