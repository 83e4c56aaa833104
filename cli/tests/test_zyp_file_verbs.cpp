// The zyp commands for files and folders, run as the user runs them: info on
// plain and encrypted files and folders, erase with and without a
// confirmation, the settings, the exclusion list and the hook's request
// server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/tests/zyp_run.h"
#include "hook/tests/hook_fixtures.h"
#include "platform/hookdev/device.h"
#include "zyp/zypfile.h"

namespace {

using namespace zyp::testing::cli;
using zyp::testing::cli::zyp;  // the function, not the namespace
using zyp::testing::write;

constexpr uint32_t kAlgo = 0x80000120;
constexpr uint32_t kKey = 0x1A2B3C4D;

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

class ZypFiles : public ZypCli {
 protected:
  void TearDown() override {
    zyp({"hook", "stop"});
    ZypCli::TearDown();
  }

  std::string path(const std::string& name) const { return folder_ + "/" + name; }

  // a/, a/one, a/sub/two: a small tree.
  std::string make_tree(const std::string& name) {
    std::string root = path(name);
    EXPECT_EQ(::mkdir(root.c_str(), 0700), 0);
    EXPECT_EQ(::mkdir((root + "/sub").c_str(), 0700), 0);
    EXPECT_TRUE(write(root + "/one", "first file"));
    EXPECT_TRUE(write(root + "/sub/two", std::string(70000, 't')));
    return root;
  }
};

// ---- erase --------------------------------------------------------------------

TEST_F(ZypFiles, EraseWithYesRemovesFilesAndTreesWithAnyNumberOfPasses) {
  const struct {
    std::vector<std::string> options;
  } cases[] = {{{"--yes"}}, {{"--yes", "--passes", "0"}}, {{"--passes=2", "--yes", "--quiet"}}};
  int round = 0;
  for (const auto& c : cases) {
    std::string file = path("file" + std::to_string(round));
    ASSERT_TRUE(write(file, "secret contents"));
    std::string tree = make_tree("tree" + std::to_string(round++));
    std::vector<std::string> args{"erase", file, tree};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Outcome run = zyp(args);
    SCOPED_TRACE(round);
    EXPECT_EQ(run.exit_code, 0) << run;
    EXPECT_EQ(run.out, "erased " + file + "\nerased " + tree + "\n") << run;
    EXPECT_TRUE(run.err.empty()) << run;  // no progress bar without a terminal
    EXPECT_FALSE(exists(file));
    EXPECT_FALSE(exists(tree));
  }
}

TEST_F(ZypFiles, EraseTouchesNothingWithoutAConfirmationOrWhenAPathIsMissing) {
  std::string file = path("kept");
  ASSERT_TRUE(write(file, "kept contents"));
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* says;
  } cases[] = {
      {{"erase", file}, 2, "erasing needs a confirmation: add --yes"},
      {{"erase", file, path("missing"), "--yes"}, 1, "no such file or folder; nothing was erased"},
      // The root comes before a missing path, so that nothing is erased even if it were not refused.
      {{"erase", file, "/", path("missing"), "--yes"}, 1, "it is a file-system root or mount point"},
      {{"erase", file, "--passes", "36", "--yes"}, 2, "--passes takes a whole number from 0 to 35"},
      {{"erase", file, "--passes", "x", "--yes"}, 2, "--passes takes a whole number"},
      {{"erase"}, 2, "missing PATH..."},
  };
  for (const auto& c : cases) {
    Outcome run = zyp(c.args, "y\n");  // standard input is no terminal: the y is not taken as an answer
    SCOPED_TRACE(c.says);
    EXPECT_EQ(run.exit_code, c.exit_code) << run;
    EXPECT_EQ(line_count(run.err), 1u) << run;
    EXPECT_TRUE(contains(run.err, c.says)) << run;
    EXPECT_EQ(zyp::platform::read_whole_file(file).value_or(""), "kept contents");
  }
}

TEST_F(ZypFiles, OnATerminalEraseAsksAndOnlyYesErases) {
  std::string file = path("asked");
  ASSERT_TRUE(write(file, "contents"));
  const struct {
    const char* typed;
    int exit_code;
    bool kept;
  } answers[] = {{"n", 1, true}, {"", 1, true}, {"y", 0, false}};
  for (const auto& a : answers) {
    OnTerminal erase({"erase", file});
    ASSERT_TRUE(erase.answer("[y/N] ", a.typed));
    EXPECT_EQ(erase.finish(), a.exit_code) << a.typed << ": " << erase.output();
    EXPECT_EQ(exists(file), a.kept) << a.typed;
  }
}

// A folder on a terminal shows its progress through the terminal's progress
// bar; --quiet silences it.
TEST_F(ZypFiles, OnATerminalAFolderShowsProgressUnlessQuiet) {
  ::setenv("ZYP_UI", "tty", 1);  // as without ZYP_UI on a terminal
  for (bool quiet : {false, true}) {
    std::string tree = make_tree(quiet ? "quiet" : "shown");
    std::vector<std::string> args{"erase", tree, "--yes"};
    if (quiet) args.push_back("--quiet");
    OnTerminal erase(args);
    EXPECT_EQ(erase.finish(), 0) << erase.output();
    EXPECT_FALSE(exists(tree));
    EXPECT_EQ(contains(erase.output(), "%"), !quiet) << erase.output();
  }
  ::setenv("ZYP_UI", "none", 1);
}

// ---- info ---------------------------------------------------------------------

TEST_F(ZypFiles, InfoShowsPlainAndEncryptedFilesAndFoldersAndGoesOnAfterAMissingPath) {
  FileHeader header{};
  ASSERT_EQ(ZYPFillHeader(&header, kAlgo, kKey,
                          ZYPFILE_OPTION_COMPRESSED | ZYPFILE_OPTION_CHECK_VALUE | ZYPFILE_OPTION_RECOVERY1, "holiday"),
            0);
  std::string encrypted = path("encrypted"), plain = path("plain"), marked = path("marked"), folder = path("folder");
  ASSERT_TRUE(write(encrypted, zyp::testing::encrypted_contents(header)));  // plain length 6
  std::string earlier = path("earlier");
  ASSERT_TRUE(write(earlier, zyp::testing::earlier_layout_contents(header)));
  ASSERT_TRUE(write(plain, "just text"));
  ASSERT_EQ(::mkdir(marked.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(write(marked + "/desktop.ini", zyp::testing::mark_text(kAlgo, kKey, 2, "m")));

  Outcome run = zyp({"info", plain, path("missing"), encrypted, marked, folder, earlier});
  EXPECT_EQ(run.exit_code, 1) << run;
  EXPECT_EQ(run.err, "zyp: cannot show \"" + path("missing") + "\": no such file or folder\n") << run;
  const std::string expected[] = {
      plain + "\n  state: not encrypted\n",
      encrypted + "\n  state: encrypted\n  key: 1A2B3C4D\n"
                  "  key label: (unknown: no provider server runs; `zyp server start` and `zyp token login` let it "
                  "show)\n  algorithm: 0x80000120\n"
                  "  options: 0x0000000B (compressed, check value, recovery field 1)\n  label: \"holiday\"\n"
                  "  plain length: 6 bytes\n  recovery fields: 1\n",
      marked + "\n  state: folder marked for encryption\n  key: 1A2B3C4D\n",
      "  options: 0x00000002 (check value)\n  label: \"m\"\n",
      folder + "\n  state: folder, not marked for encryption\n",
      earlier + "\n  state: encrypted (earlier layout)\n  key: 1A2B3C4D\n",
  };
  for (const std::string& part : expected) EXPECT_TRUE(contains(run.out, part)) << part << "\nin:\n" << run;
  // The earlier layout's plain length follows its 96-byte header.
  EXPECT_TRUE(run.out.ends_with("  plain length: 6 bytes\n  recovery fields: 1\n")) << run;
  EXPECT_FALSE(server_runs());  // info starts no server
}

// ---- settings -----------------------------------------------------------------

TEST_F(ZypFiles, SettingsAreSetShownAndRefusedOutsideTheirRange) {
  const struct {
    const char* name;
    const char* value;
  } changes[] = {{"SecureEraseCycle", "7"}, {"ActiveCompression", "1"}, {"ProgressBar", "0"},
                 {"CheckTokenPresence", "0"}, {"AutoSecureErase", "1"}, {"AutoCheckSign", "1"},
                 {"AutoDecrypt", "1"},       {"OpenSessionOnStart", "0"}, {"PwdKeepAliveMinutes", "15"}};
  for (const auto& c : changes) {
    Outcome set = zyp({"settings", "set", c.name, c.value});
    SCOPED_TRACE(c.name);
    EXPECT_EQ(set.exit_code, 0) << set;
    Outcome shown = zyp({"settings", "show", c.name});
    EXPECT_EQ(shown.exit_code, 0) << shown;
    EXPECT_TRUE(shown.out.starts_with("name\tvalue\tmeaning\n" + std::string(c.name) + "\t" + c.value + "\t"))
        << shown;
    EXPECT_EQ(line_count(shown.out), 2u) << shown;
  }
  Outcome all = zyp({"settings", "show"});
  for (const auto& c : changes)
    EXPECT_TRUE(contains(all.out, "\n" + std::string(c.name) + "\t" + c.value + "\t")) << c.name << all;

  const std::vector<std::string> refused[] = {{"settings", "set", "ProgressBar", "2"},
                                              {"settings", "set", "SecureEraseCycle", "-1"},
                                              {"settings", "set", "SecureEraseCycle", "3x"},
                                              {"settings", "set", "Nothing", "1"},
                                              {"settings", "show", "Nothing"}};
  for (const auto& args : refused) {
    Outcome run = zyp(args);
    EXPECT_EQ(run.exit_code, 2) << run;
    EXPECT_EQ(line_count(run.err), 1u) << run;
    EXPECT_TRUE(run.out.empty()) << run;
  }
  EXPECT_TRUE(contains(zyp({"settings", "show", "SecureEraseCycle"}).out, "\t7\t"));
}

// ---- exclusion list -----------------------------------------------------------

TEST_F(ZypFiles, ExclusionsAreStoredAbsoluteListedAndRemoved) {
  std::string data = path("Data");
  ASSERT_EQ(::mkdir(data.c_str(), 0700), 0);
  Outcome added = zyp({"exclude", "add", data + "/Sub/../"});
  EXPECT_EQ(added.exit_code, 0) << added;
  Outcome second = zyp({"exclude", "add", path("Other"), "--value", "2"});
  EXPECT_EQ(second.exit_code, 0) << second;
  Outcome list = zyp({"exclude", "list"});
  EXPECT_EQ(list.exit_code, 0) << list;
  EXPECT_TRUE(list.out.starts_with("path\tvalue\tmeaning\n")) << list;
  EXPECT_TRUE(contains(list.out, "\n" + data + "\t1\t")) << list;
  EXPECT_TRUE(contains(list.out, "\n" + path("Other") + "\t2\t")) << list;

  Outcome changed = zyp({"exclude", "add", data, "--value", "0"});
  EXPECT_EQ(changed.exit_code, 0) << changed;
  EXPECT_TRUE(contains(zyp({"exclude", "list"}).out, "\n" + data + "\t0\t"));

  Outcome removed = zyp({"exclude", "remove", data});
  EXPECT_EQ(removed.exit_code, 0) << removed;
  list = zyp({"exclude", "list"});
  EXPECT_FALSE(contains(list.out, data + "\t")) << list;
  EXPECT_TRUE(contains(list.out, path("Other") + "\t")) << list;
  Outcome again = zyp({"exclude", "remove", data});
  EXPECT_EQ(again.exit_code, 1) << again;
  EXPECT_TRUE(contains(again.err, "it is not in the list")) << again;
  Outcome bad = zyp({"exclude", "add", data, "--value", "one"});
  EXPECT_EQ(bad.exit_code, 2) << bad;
}

// ---- the hook's request server ------------------------------------------------

TEST_F(ZypFiles, HookStartKeepsARequestServerUntilStopped) {
  EXPECT_EQ(zyp({"hook", "status"}).out, "not running\n");
  Outcome start = zyp({"hook", "start"});
  ASSERT_EQ(start.exit_code, 0) << start;
  EXPECT_TRUE(contains(start.out, "the hook's request server is running in process ")) << start;
  Outcome status = zyp({"hook", "status"});
  EXPECT_EQ(status.exit_code, 0) << status;
  EXPECT_TRUE(status.out.starts_with("running in process ")) << status;
  EXPECT_TRUE(server_runs()) << "the requests go through the provider server";

  Outcome again = zyp({"hook", "start"});
  EXPECT_EQ(again.exit_code, 0) << again;
  EXPECT_TRUE(contains(again.out, "runs already")) << again;

  Outcome stop = zyp({"hook", "stop"});
  EXPECT_EQ(stop.exit_code, 0) << stop;
  EXPECT_EQ(zyp({"hook", "status"}).out, "not running\n");
  Outcome stop_again = zyp({"hook", "stop"});
  EXPECT_EQ(stop_again.exit_code, 0) << stop_again;
  EXPECT_TRUE(contains(stop_again.out, "no request server was running")) << stop_again;
}

// What the hook device answers when asked whether `path` may be encrypted.
uint32_t allow_encrypt(zyp::hookdev::Device& device, const std::string& path) {
  char field[zyp::hookdev::kPathField];
  zyp::hookdev::copy_path_field(field, path.c_str());
  uint32_t result = 0;
  if (!device.control(zyp::hookdev::kAllowEncrypt, field, sizeof field, &result, sizeof result)) return UINT32_MAX;
  return result;
}

// The device keeps the list only while some process holds it: the request
// server gives it the stored list when it starts, and zyp every change after.
TEST_F(ZypFiles, WhileTheHookRunsTheDeviceFollowsTheExclusionList) {
  std::string before = make_tree("before"), after = make_tree("after");
  ASSERT_EQ(zyp({"exclude", "add", before}).exit_code, 0);
  Outcome start = zyp({"hook", "start"});
  ASSERT_EQ(start.exit_code, 0) << start;
  auto device = zyp::hookdev::Device::open();
  ASSERT_TRUE(device);
  EXPECT_EQ(allow_encrypt(*device, before + "/one"), 49u) << "stored before the hook started";
  EXPECT_EQ(allow_encrypt(*device, after + "/one"), 0u);

  ASSERT_EQ(zyp({"exclude", "add", after}).exit_code, 0);
  EXPECT_EQ(allow_encrypt(*device, after + "/sub/two"), 49u);
  ASSERT_EQ(zyp({"exclude", "remove", before}).exit_code, 0);
  EXPECT_EQ(allow_encrypt(*device, before + "/one"), 0u);
}

TEST_F(ZypFiles, WithoutTheHookDeviceHookAndFolderCommandsSaySoInOneLine) {
  ASSERT_TRUE(write(std::string(::getenv("ZYP_MACHINE_DIR")) + "/HKLM.reg",
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmarsh\\General]\n\"HookDevice\"=dword:00000000\n"));
  std::string folder = path("folder");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::vector<std::string> commands[] = {{"hook", "start"}, {"hook", "status"}, {"info", folder}};
  for (const auto& args : commands) {
    Outcome run = zyp(args);
    SCOPED_TRACE(args[0] + " " + args[1]);
    EXPECT_EQ(run.exit_code, 1) << run;
    EXPECT_EQ(line_count(run.err), 1u) << run;
    EXPECT_TRUE(contains(run.err, "the file-system hook is not available (code 70)")) << run;
    EXPECT_TRUE(contains(run.err, "\"HookDevice\"")) << run;
  }
}

}  // namespace
