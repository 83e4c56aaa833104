// The hook client's calls and the device's answers about files, folders and
// the exclusion list, over small fixtures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hook/tests/hook_fixtures.h"
#include "platform/hookdev/device.h"
#include "platform/registry.h"
#include "platform/tests/child_process.h"
#include "testsupport/test_env.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

namespace {

using zyp::testing::header_with;
using zyp::testing::write;
namespace hookdev = zyp::hookdev;

constexpr uint32_t kAlgo = 0x133;
constexpr uint32_t kKey = 0x7ED4B9DE;

class HookAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = zyp::testing::make_temp_folder("answers");
    ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 1), 1);
  }
  std::string path(const std::string& name) const { return folder_ + "/" + name; }
  std::string folder_;
};

TEST_F(HookAnswers, NullArgumentsGive80AndEveryCallGives70WithoutTheDevice) {
  std::string file = path("file");
  ASSERT_TRUE(write(file, zyp::testing::encrypted_contents(header_with(kAlgo, kKey, 2, "u"))));
  FileHeader header{};
  const char* p = file.c_str();
  struct Call {
    const char* name;
    std::function<int()> call;
    int with_null;  // -1: the call takes no pointer
  };
  std::vector<Call> calls = {
      {"ZYPGetFileHeader", [&] { return ZYPGetFileHeader(p, &header); }, ZYPGetFileHeader(nullptr, &header)},
      {"ZYPHOOKGetOpenFileHeader", [&] { return ZYPHOOKGetOpenFileHeader(p, &header); },
       ZYPHOOKGetOpenFileHeader(p, nullptr)},
      {"ZYPGetFolderHeader", [&] { return ZYPGetFolderHeader(folder_.c_str(), &header); },
       ZYPGetFolderHeader(nullptr, &header)},
      {"ZYPSetFileHeader", [&] { return ZYPSetFileHeader(p, &header); }, ZYPSetFileHeader(p, nullptr)},
      {"ZYPSetOpenedFileInfo", [&] { return ZYPSetOpenedFileInfo(p, &header); },
       ZYPSetOpenedFileInfo(nullptr, &header)},
      {"ZYPHOOKAllowEncrypt", [&] { return ZYPHOOKAllowEncrypt(p); }, ZYPHOOKAllowEncrypt(nullptr)},
      {"ZYPSetAPICaller", [&] { return ZYPSetAPICaller(1) + ZYPSetAPICaller(0); }, -1},
      {"ZYPHOOKRefreshRestriction", [&] { return ZYPHOOKRefreshRestriction(); }, -1},
      {"ZYPGetHookState", [&] { return ZYPGetHookState(); }, -1},
  };
  for (const Call& c : calls) {
    if (c.with_null >= 0) {
      EXPECT_EQ(c.with_null, 80) << c.name;
    }
  }
  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 0), 1);
  for (const Call& c : calls) {
    int expected = std::string(c.name) == "ZYPSetAPICaller" ? 140 : 70;
    EXPECT_EQ(c.call(), expected) << c.name;
  }
  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 1), 1);
  EXPECT_EQ(ZYPGetFileHeader(p, &header), 0);
  EXPECT_EQ(ZYPHOOKAllowEncrypt(p), 43);
  EXPECT_EQ(ZYPGetHookState(), 1);
  EXPECT_EQ(ZYPSetAPICaller(1), 0);
  EXPECT_EQ(ZYPSetAPICaller(0), 0);
}

TEST_F(HookAnswers, FileHeaderAnswersCurrentAndEarlierLayoutsAndRefusesOthers) {
  FileHeader written = header_with(kAlgo, kKey, 0x3, "label");
  ASSERT_TRUE(write(path("current"), zyp::testing::encrypted_contents(written)));
  ASSERT_TRUE(write(path("earlier"), zyp::testing::earlier_layout_contents(written)));
  ASSERT_TRUE(write(path("plain"), "just some text that is long enough to fill a header, or not"));
  ASSERT_TRUE(write(path("empty"), ""));
  struct Case {
    std::string name;
    int result;
    uint32_t version;
  };
  for (const Case& c : std::vector<Case>{{"current", 0, ZYPFILE_VERSION},
                                         {"earlier", 0, ZYPFILE_VERSION_EARLIER},
                                         {"plain", 44, 0},
                                         {"empty", 44, 0},
                                         {"missing", 2, 0},
                                         {"", 44, 0}}) {  // the folder itself
    FileHeader header{};
    EXPECT_EQ(ZYPGetFileHeader(path(c.name).c_str(), &header), c.result) << c.name;
    EXPECT_EQ(ZYPHOOKGetOpenFileHeader(path(c.name).c_str(), &header), c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(header.Version, c.version) << c.name;
      EXPECT_EQ(header.Key, kKey) << c.name;
      EXPECT_EQ(header.Algo, kAlgo) << c.name;
    }
  }
  FileHeader header{};
  EXPECT_EQ(ZYPGetFileHeader(path("current").c_str(), &header), 0);
  EXPECT_EQ(std::memcmp(&header, &written, sizeof header), 0);
}

// A recorded target answers the open-file form only; the file on disk is untouched.
TEST_F(HookAnswers, SetOpenedFileInfoRecordsTheTargetOfTheOpenFileAndAnswers102) {
  FileHeader on_disk = header_with(kAlgo, kKey, 2, "disk");
  ASSERT_TRUE(write(path("recorded"), zyp::testing::encrypted_contents(on_disk)));
  FileHeader clear = header_with(0, ZYPFILE_NO_KEY, 0, "");
  EXPECT_EQ(ZYPSetOpenedFileInfo(path("recorded").c_str(), &clear), 102);
  FileHeader header{};
  EXPECT_EQ(ZYPHOOKGetOpenFileHeader(path("recorded").c_str(), &header), 0);
  EXPECT_EQ(header.Key, ZYPFILE_NO_KEY);
  EXPECT_EQ(ZYPGetFileHeader(path("recorded").c_str(), &header), 0);
  EXPECT_EQ(header.Key, kKey);
}

TEST_F(HookAnswers, FolderMarkComesFromDesktopIniWithTheExtensionClassAndTheAmbrelSection) {
  const std::string marked = path("marked"), plain = path("plain"), other = path("other-class"),
                    no_section = path("no-section");
  for (const std::string& f : {marked, plain, other, no_section}) ASSERT_EQ(::mkdir(f.c_str(), 0700), 0);
  ASSERT_TRUE(write(path("file"), "x"));
  ASSERT_TRUE(write(marked + "/desktop.ini", zyp::testing::mark_text(kAlgo, 4294967295u, 7, "\"folder label\"")));
  std::string other_class = zyp::testing::mark_text(kAlgo, kKey, 7, "x");
  other_class.replace(other_class.find("E2914B3C"), 8, "00000000");
  ASSERT_TRUE(write(other + "/desktop.ini", other_class));
  ASSERT_TRUE(write(no_section + "/desktop.ini",
                    "[.ShellClassInfo]\r\nCLSID={e2914b3c-7d05-11d1-b8e1-61c2f03a9d47}\r\n"));
  struct Case {
    std::string folder;
    int result;
  };
  for (const Case& c : std::vector<Case>{
           {marked, 0}, {plain, 44}, {other, 44}, {no_section, 44}, {path("missing"), 2}, {path("file"), 2}}) {
    FileHeader header{};
    EXPECT_EQ(ZYPGetFolderHeader(c.folder.c_str(), &header), c.result) << c.folder;
  }
  FileHeader header{};
  ASSERT_EQ(ZYPGetFolderHeader(marked.c_str(), &header), 0);
  FileHeader expected = header_with(kAlgo, ZYPFILE_NO_KEY, 7, "folder label");
  EXPECT_EQ(std::memcmp(&header, &expected, sizeof header), 0);
}

void set_desktop(const std::string& folder) {
  ASSERT_EQ(zyp::platform::reg::set_string(zyp::platform::reg::Root::CurrentUser,
                                           "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                                           "Desktop", folder),
            0u);
}

// The exclusion list is the user's "NoEncryption" section, sent by
// ZYPHOOKRefreshRestriction; the Desktop folder stops the walk up.
TEST_F(HookAnswers, AllowEncryptFollowsTheExclusionListUpToTheDesktop) {
  const std::string data = path("Data"), sub = data + "/Sub", deep = sub + "/Deep", desk = data + "/Desk";
  ASSERT_TRUE(write(path("encrypted"), zyp::testing::encrypted_contents(header_with(kAlgo, kKey, 2, ""))));
  set_desktop(desk);
  struct Case {
    std::vector<std::pair<std::string, uint32_t>> list;
    std::string path;
    int result;
  };
  for (const Case& c : std::vector<Case>{
           {{}, deep, 0},
           {{{data, 1}}, deep, 49},
           {{{data, 1}}, data, 49},
           {{{data, 2}}, data, 49},
           {{{data, 2}}, sub, 0},
           {{{data, 1}, {sub, 0}}, deep, 0},
           {{{data, 1}}, desk + "/file", 0},  // the Desktop ends the walk below the excluded folder
           {{{data, 1}}, path("encrypted"), 43},
           {{{folder_, 1}}, path("encrypted"), 43},
       }) {
    for (const std::string& name : {data, sub, folder_}) ZYPDelUSValue("NoEncryption", name.c_str());
    for (const auto& [name, value] : c.list) ASSERT_EQ(ZYPWriteUSProfileDWord("NoEncryption", name.c_str(), value), 1);
    ASSERT_EQ(ZYPHOOKRefreshRestriction(), 0);
    EXPECT_EQ(ZYPHOOKAllowEncrypt(c.path.c_str()), c.result) << c.path << " with " << c.list.size() << " entries";
  }
}

// current: the header on disk (Key -1 when plain); target: the recorded one,
// else the mark of the folder that holds the file.
TEST_F(HookAnswers, OpenFileStateAnswersCurrentAndTargetAndSeesWritersInOtherProcesses) {
  const std::string marked = path("marked");
  ASSERT_EQ(::mkdir(marked.c_str(), 0700), 0);
  ASSERT_TRUE(write(marked + "/desktop.ini", zyp::testing::mark_text(kAlgo, kKey, 2, "m")));
  ASSERT_TRUE(write(marked + "/plain", "plain"));
  ASSERT_TRUE(write(marked + "/recorded", "plain"));
  ASSERT_TRUE(write(path("encrypted"), zyp::testing::encrypted_contents(header_with(kAlgo, 0x1234, 2, ""))));
  FileHeader clear = header_with(0, ZYPFILE_NO_KEY, 0, "");
  ASSERT_EQ(ZYPSetOpenedFileInfo((marked + "/recorded").c_str(), &clear), 102);

  auto device = hookdev::Device::open();
  ASSERT_TRUE(device);
  auto state_of = [&](const std::string& file) {
    char field[hookdev::kPathField];
    hookdev::copy_path_field(field, file.c_str());
    hookdev::OpenFileState state{};
    EXPECT_TRUE(device->control(hookdev::kOpenFileState, field, sizeof field, &state, sizeof state));
    return state;
  };
  struct Case {
    std::string file;
    uint32_t result, current_key, target_key;
  };
  for (const Case& c : std::vector<Case>{{marked + "/plain", 0, ZYPFILE_NO_KEY, kKey},
                                         {marked + "/recorded", 0, ZYPFILE_NO_KEY, ZYPFILE_NO_KEY},
                                         {path("encrypted"), 0, 0x1234, ZYPFILE_NO_KEY},
                                         {marked + "/gone", 2, 0, 0}}) {
    hookdev::OpenFileState state = state_of(c.file);
    EXPECT_EQ(state.result, c.result) << c.file;
    if (c.result != 0) continue;
    EXPECT_EQ(state.current.Key, c.current_key) << c.file;
    EXPECT_EQ(state.target.Key, c.target_key) << c.file;
  }

  const std::string written = marked + "/plain";
  zyp::testing::ChildProcess writer([&](zyp::testing::ChildProcess& self) {
    int fd = ::open(written.c_str(), O_WRONLY);
    self.tell_parent();
    self.hear_from_parent();
    ::close(fd);
    return 0;
  });
  ASSERT_EQ(writer.hear_from_child(), 'r');
  EXPECT_EQ(state_of(written).result, 91u);
  // This process's own writer does not count.
  int own = ::open(written.c_str(), O_WRONLY);
  writer.tell_child();
  EXPECT_EQ(writer.join(), 0);
  EXPECT_EQ(state_of(written).result, 0u);
  ::close(own);
}

// Cut to 255 characters the path would name "file" instead.
TEST_F(HookAnswers, APathLongerThanTheDeviceFieldIsNeverCutShort) {
  std::string stem = path(std::string(255 - path("").size(), 'x'));
  ASSERT_EQ(stem.size(), 255u);
  ASSERT_TRUE(write(stem, zyp::testing::encrypted_contents(header_with(kAlgo, kKey, 2, ""))));
  const std::string longer = stem + "y";
  FileHeader header{};
  EXPECT_EQ(ZYPGetFileHeader(stem.c_str(), &header), 0);
  EXPECT_EQ(ZYPGetFileHeader(longer.c_str(), &header), 2);
  EXPECT_EQ(ZYPHOOKGetOpenFileHeader(longer.c_str(), &header), 2);
  EXPECT_EQ(ZYPGetFolderHeader(longer.c_str(), &header), 2);
  EXPECT_EQ(ZYPHOOKAllowEncrypt(stem.c_str()), 43);
  EXPECT_EQ(ZYPHOOKAllowEncrypt(longer.c_str()), 49);
  FileHeader clear = header_with(0, ZYPFILE_NO_KEY, 0, "");
  EXPECT_EQ(ZYPSetOpenedFileInfo(longer.c_str(), &clear), 102);
  EXPECT_EQ(ZYPHOOKGetOpenFileHeader(stem.c_str(), &header), 0);
  EXPECT_EQ(header.Key, kKey);
}

TEST_F(HookAnswers, EveryControlCodeChecksItsBufferSizes) {
  auto device = hookdev::Device::open();
  ASSERT_TRUE(device);
  char field[hookdev::kPathField] = "/nowhere";
  uint8_t big[1024] = {};
  uint32_t word = 0;
  EXPECT_FALSE(device->control(hookdev::kAllowEncrypt, field, sizeof field - 1, &word, sizeof word));
  EXPECT_FALSE(device->control(hookdev::kAllowEncrypt, field, sizeof field, &word, 2));
  EXPECT_FALSE(device->control(hookdev::kFileHeader, field, sizeof field, big, 376));  // input is 260
  EXPECT_FALSE(device->control(hookdev::kOpenFileState, field, sizeof field, big, 739));
  EXPECT_FALSE(device->control(0x83000000, nullptr, 0, nullptr, 0));
  EXPECT_TRUE(device->control(hookdev::kAllowEncrypt, field, sizeof field, &word, sizeof word));
  EXPECT_EQ(word, 0u);
}

}  // namespace
