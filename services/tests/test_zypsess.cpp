#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/modules.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

namespace {

std::string probe_path() {
  char self[4096] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  return dir.substr(0, dir.find_last_of('/')) + "/sess_probe";
}

int run_probe(const std::vector<std::string>& args) {
  return zyp::platform::spawn_program(probe_path(), args, true);
}

bool wait_for_activity(int expected) {
  for (int i = 0; i < 500; ++i) {
    if ((ZYPGetActivity() != 0) == (expected != 0)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(SessionState, EveryTokenStartsWithoutASession) {
  EXPECT_EQ(ZYPGetSessionState(0), 1);
  EXPECT_EQ(ZYPGetSessionState(-1), 1);
  EXPECT_EQ(ZYPGetSessionState(0x12345678), 1);
}

TEST(SessionState, StateSetInOneProcessIsReadInAnother) {
  ASSERT_EQ(run_probe({"set", "0", "0"}), 0);
  EXPECT_EQ(ZYPGetSessionState(0), 0);
  EXPECT_EQ(ZYPGetSessionState(-1), 0);  // the primary token is slot 0 by default
  ASSERT_EQ(ZYPSetSessionState(2, 5), 0);
  EXPECT_EQ(run_probe({"get", "2"}), 5);
  ASSERT_EQ(run_probe({"set", "2", "1"}), 0);
  EXPECT_EQ(ZYPGetSessionState(2), 1);
}

TEST(PrimaryToken, FollowsTheConfiguredTokenModule) {
  struct Case {
    const char* module;  // null: not configured
    int token;
  } cases[] = {
      {nullptr, 0},
      {"SOFTTOK.DLL", 0},
      {"SOFTTOKP.DLL", 0},
      {"softtokf.dll", 1},
      {"/opt/zyp/lib/libsofttokf.so", 1},
      {"SOFTTOKS.DLL", 2},
      {"SOFTTOKS-SOFTTOKF.DLL", 2},  // both named: the smart card test comes later and wins
      {"/usr/lib/softhsm/libsofthsm2.so", 0},
  };
  for (const Case& c : cases) {
    if (c.module) {
      ASSERT_EQ(ZYPWriteProfileString("General", "SOFTTOK", c.module), 1);
    } else {
      ASSERT_EQ(ZYPWriteProfileString("General", "SOFTTOK", nullptr), 1);
    }
    EXPECT_EQ(ZYPGetPrimaryToken(), c.token) << (c.module ? c.module : "(default)");
    EXPECT_EQ(ZYPIsPrimaryTokenRemovable() != 0, c.token != 0) << (c.module ? c.module : "(default)");
  }
}

// Holds whether or not the client library is installed: without it, or
// without a running server, nothing can be opened, closed or changed.
TEST(SessionCalls, ReportFailureWhenNoServerCanBeReached) {
  EXPECT_NE(ZYPOpenTokenSession(), 0);
  EXPECT_EQ(ZYPCloseTokenSession(), 16);
  EXPECT_EQ(ZYPChangeTokenSecret(), 0);
}

TEST(SessionCalls, OpenSucceedsWithoutTheClientWhenASessionIsOpen) {
  ASSERT_EQ(ZYPSetSessionState(-1, 0), 0);
  EXPECT_EQ(ZYPOpenTokenSession(), 0);
}

TEST(Activity, MarksAreCounted) {
  EXPECT_EQ(ZYPGetActivity(), 0);
  EXPECT_NE(ZYPEndActivity(), 0);  // nothing to release
  ASSERT_EQ(ZYPBeginActivity(), 0);
  ASSERT_EQ(ZYPBeginActivity(), 0);
  EXPECT_NE(ZYPGetActivity(), 0);
  ASSERT_EQ(ZYPEndActivity(), 0);
  EXPECT_NE(ZYPGetActivity(), 0);
  ASSERT_EQ(ZYPEndActivity(), 0);
  EXPECT_EQ(ZYPGetActivity(), 0);
}

TEST(Activity, MarkOfAKilledProcessIsReleased) {
  pid_t child = 0;
  ASSERT_EQ(zyp::platform::spawn_program(probe_path(), {"hold"}, false, &child), 0);
  ASSERT_TRUE(wait_for_activity(1));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(wait_for_activity(0));
}

}  // namespace
