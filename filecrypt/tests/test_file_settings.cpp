// The user's encryption settings, the block that every process loading the
// library shares, the screen-saver values and the send folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "filecrypt/tests/file_test_support.h"
#include "filecrypt/library_state.h"
#include "platform/atomic_file.h"
#include "platform/modules.h"
#include "platform/registry.h"
#include "platform/shared_memory.h"
#include "testsupport/test_env.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"

namespace {

using zyp::platform::reg::Root;

constexpr char kUserGeneral[] = "SOFTWARE\\Quillmarsh\\General";
constexpr char kDesktop[] = "Control Panel\\Desktop";

struct Setting {
  const char* name;
  uint32_t machine_default;
  int (*set)(uint32_t);
  uint32_t (*get)();
};

const Setting kSettings[] = {
    {"SecureEraseCycle", 3, &ZYPSetSecureEraseCycle, &ZYPGetSecureEraseCycle},
    {"ProgressBar", 1, &ZYPSetProgressState, &ZYPGetProgressState},
    {"ActiveCompression", 0, &ZYPSetCompressionMode, &ZYPGetCompressionMode},
    {"CheckTokenPresence", 1, &ZYPSetCheckPresence, &ZYPGetCheckPresence},
};

void forget(const char* name) {
  zyp::platform::reg::delete_value(Root::CurrentUser, kUserGeneral, name);
  zyp::platform::reg::delete_value(Root::LocalMachine, kUserGeneral, name);
}

class FileSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const Setting& s : kSettings) forget(s.name);
  }
  void TearDown() override { SetUp(); }
};

TEST_F(FileSettings, WithNothingStoredTheDefaultsAre3And1And0And1) {
  for (const Setting& s : kSettings) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(s.get(), s.machine_default);
  }
}

TEST_F(FileSettings, TheUserValueWinsOverTheMachineValueAndSetWritesTheUserScope) {
  for (const Setting& s : kSettings) {
    SCOPED_TRACE(s.name);
    ASSERT_EQ(ZYPWriteProfileDWord("General", s.name, 7), 1);
    EXPECT_EQ(s.get(), 7u);
    EXPECT_EQ(s.set(9), 0);
    EXPECT_EQ(ZYPGetUSProfileDWord("General", s.name, 0), 9u);
    EXPECT_EQ(ZYPGetProfileDWord("General", s.name, 0), 7u);
    EXPECT_EQ(s.get(), 9u);
    // A user value of 0 is a value, not an absent one.
    EXPECT_EQ(s.set(0), 0);
    EXPECT_EQ(s.get(), 0u);
  }
}

using zyp::file::testing::run_probe;

// The cached copies in the shared block are what the file operations use.
TEST_F(FileSettings, AValueSetInAnotherProcessIsSharedAtOnceAndReadBackHere) {
  zyp::platform::SharedBlock<zyp::file::SharedSettings> shared(zyp::file::kSharedSettingsName);
  ASSERT_TRUE(shared.attached());
  EXPECT_EQ(shared->nt_family, 1u);
  EXPECT_GE(shared->load_count, 1);
  struct Case {
    const char* probe_name;
    uint32_t zyp::file::SharedSettings::*cache;
    uint32_t (*get)();
  } cases[] = {
      {"compression", &zyp::file::SharedSettings::compression, &ZYPGetCompressionMode},
      {"progress", &zyp::file::SharedSettings::progress, &ZYPGetProgressState},
      {"erase", &zyp::file::SharedSettings::erase_passes, &ZYPGetSecureEraseCycle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.probe_name);
    EXPECT_EQ(run_probe({"set", c.probe_name, "5"}), 0);
    EXPECT_EQ(shared.get()->*c.cache, 5u);
    EXPECT_EQ(c.get(), 5u);
    EXPECT_EQ(run_probe({"get", c.probe_name}), 5);
  }
}

TEST(FileSharedBlock, AForkedChildThatExitsLeavesTheLoadCountAsItWas) {
  zyp::platform::SharedBlock<zyp::file::SharedSettings> shared(zyp::file::kSharedSettingsName);
  ASSERT_TRUE(shared.attached());
  int32_t before = shared->load_count;
  pid_t child = ::fork();
  if (child == 0) std::exit(0);  // runs the exit handlers
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(shared->load_count, before);
}

TEST_F(FileSettings, AGetRefreshesTheSharedCopyFromTheProfile) {
  zyp::platform::SharedBlock<zyp::file::SharedSettings> shared(zyp::file::kSharedSettingsName);
  ASSERT_TRUE(shared.attached());
  ASSERT_EQ(ZYPWriteUSProfileDWord("General", "ActiveCompression", 1), 1);
  EXPECT_EQ(ZYPGetCompressionMode(), 1u);
  EXPECT_EQ(shared->compression, 1u);
}

class ScreenSaver : public ::testing::Test {
 protected:
  void SetUp() override { zyp::platform::reg::delete_tree(Root::CurrentUser, kDesktop); }
};

std::string desktop_text(const char* name) {
  zyp::platform::reg::Value value;
  if (zyp::platform::reg::query_value(Root::CurrentUser, kDesktop, name, value) != 0) return "(none)";
  if (value.type != zyp::platform::reg::kString) return "(not text)";
  return std::string(value.data.begin(), value.data.end() - 1);
}

TEST_F(ScreenSaver, FiveMinutesStore300SecondsAndReadBackAs5) {
  EXPECT_EQ(ZYPSetInactivityTime(5), 0);
  EXPECT_EQ(ZYPGetUSProfileDWord("General", "PwdKeepAliveDelay", 0), 300u);
  EXPECT_EQ(desktop_text("ScreenSaveTimeOut"), "300");
  EXPECT_EQ(ZYPGetInactivityTime(), 5u);
}

TEST_F(ScreenSaver, TheTimeoutReadsInWholeMinutes) {
  struct Case {
    const char* stored;
    uint32_t minutes;
  } cases[] = {{"90", 1}, {"59", 0}, {"600", 10}, {"not a number", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    ASSERT_EQ(zyp::platform::reg::set_string(Root::CurrentUser, kDesktop, "ScreenSaveTimeOut", c.stored), 0u);
    EXPECT_EQ(ZYPGetInactivityTime(), c.minutes);
  }
  zyp::platform::reg::delete_value(Root::CurrentUser, kDesktop, "ScreenSaveTimeOut");
  EXPECT_EQ(ZYPGetInactivityTime(), 0u);
}

TEST_F(ScreenSaver, AnOverlongDelayKeepsTheLongestThatFits) {
  EXPECT_EQ(ZYPSetInactivityTime(0xFFFFFFFFu), 0);
  EXPECT_EQ(ZYPGetUSProfileDWord("General", "PwdKeepAliveDelay", 0), 0xFFFFFFFFu / 60 * 60);
  EXPECT_EQ(ZYPGetInactivityTime(), 0xFFFFFFFFu / 60);
}

TEST_F(ScreenSaver, TheLockFlagIsStoredAsTextAndReadBack) {
  EXPECT_EQ(ZYPGetInactivity(), 0u);  // nothing stored
  for (uint32_t flag : {1u, 0u}) {
    EXPECT_EQ(ZYPSetInactivity(flag), 0);
    EXPECT_EQ(ZYPGetUSProfileDWord("General", "PwdKeepAlive", 7), flag);
    EXPECT_EQ(desktop_text("ScreenSaverIsSecure"), std::to_string(flag));
    EXPECT_EQ(ZYPGetInactivity(), flag);
  }
}

// A process that is the first to load the library (its own runtime folder)
// finds the send folder wiped, and what it leaves there is wiped when it
// unloads the library as the last one.
TEST(SendFolder, IsWipedAtTheFirstLoadAndAtTheLastUnload) {
  std::string install = zyp::testing::make_temp_folder("install");
  std::string sealpost = install + "/Sealpost";
  ASSERT_TRUE(std::filesystem::create_directories(sealpost + "/inner"));
  ASSERT_TRUE(zyp::platform::write_file_atomically(sealpost + "/left", "a file waiting to be sent"));
  ASSERT_TRUE(zyp::platform::write_file_atomically(sealpost + "/inner/deeper", "another one"));
  ASSERT_EQ(::chmod((sealpost + "/left").c_str(), 0400), 0);  // read-only: erased all the same
  std::string outside = install + "/outside";
  ASSERT_TRUE(zyp::platform::write_file_atomically(outside, "not in the send folder"));
  ASSERT_EQ(::symlink(outside.c_str(), (sealpost + "/link").c_str()), 0);
  // A second name of an erased file shows what the passes left in it.
  const std::string secret(1500, 's');
  ASSERT_TRUE(zyp::platform::write_file_atomically(sealpost + "/inner/secret", secret));
  std::string witness = install + "/witness";
  ASSERT_EQ(::link((sealpost + "/inner/secret").c_str(), witness.c_str()), 0);
  ASSERT_EQ(ZYPWriteProfileString("General", "InstallPath", install.c_str()), 1);
  ASSERT_EQ(ZYPWriteUSProfileDWord("General", "SecureEraseCycle", 2), 1);  // 00, then AA

  std::string runtime = zyp::testing::make_temp_folder("runtime");
  ASSERT_EQ(::chmod(runtime.c_str(), 0700), 0);
  const char* saved = std::getenv("ZYP_RUNTIME_DIR");
  std::string previous = saved ? saved : "";
  ::setenv("ZYP_RUNTIME_DIR", runtime.c_str(), 1);
  int status = run_probe({"sealpost", sealpost});
  if (saved) {
    ::setenv("ZYP_RUNTIME_DIR", previous.c_str(), 1);
  } else {
    ::unsetenv("ZYP_RUNTIME_DIR");
  }
  ZYPWriteProfileString("General", "InstallPath", nullptr);
  ZYPDelUSValue("General", "SecureEraseCycle");

  EXPECT_EQ(status, 0);
  EXPECT_FALSE(std::filesystem::exists(sealpost));
  EXPECT_EQ(zyp::platform::read_whole_file(outside), "not in the send folder");
  EXPECT_EQ(zyp::platform::read_whole_file(witness), std::string(secret.size(), '\xAA'));
}

}  // namespace
