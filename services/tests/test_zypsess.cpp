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

bool wait_for_state(int token, int expected) {
  for (int i = 0; i < 500; ++i) {
    if (ZYPGetSessionState(token) == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(SessionState, StateSetInOneProcessIsReadInAnother) {
  ASSERT_EQ(ZYPSetSessionState(0, 0), 0);
  EXPECT_EQ(run_probe({"get", "0"}), 0);
  EXPECT_EQ(run_probe({"get", "-1"}), 0);  // the primary token is slot 0 by default
  ASSERT_EQ(ZYPSetSessionState(2, 5), 0);
  EXPECT_EQ(run_probe({"get", "2"}), 5);
  ASSERT_EQ(run_probe({"set", "2", "1"}), 0);
  EXPECT_EQ(ZYPGetSessionState(2), 1);
  ASSERT_EQ(run_probe({"set", "3", "7"}), 0);
  EXPECT_EQ(ZYPGetSessionState(3), 7) << "only an open state goes with the process that set it";
  ASSERT_EQ(ZYPSetSessionState(0, 1), 0);
}

// The process that opened a session is killed while this one keeps the
// library loaded: its session went with it, so the token reads as without a
// session (already while the killed process is a zombie), and opening asks
// the client library again instead of answering "open" with nothing behind it.
TEST(SessionState, AnOpenStateEndsWithTheProcessThatSetIt) {
  ASSERT_EQ(ZYPSetSessionState(0, 1), 0);
  pid_t child = 0;
  ASSERT_EQ(zyp::platform::spawn_program(probe_path(), {"open", "0"}, false, &child), 0);
  ASSERT_TRUE(wait_for_state(0, 0));
  EXPECT_EQ(ZYPGetSessionState(-1), 0);
  kill(child, SIGKILL);
  EXPECT_TRUE(wait_for_state(0, 1));
  waitpid(child, nullptr, 0);
  EXPECT_EQ(ZYPGetSessionState(-1), 1);
  EXPECT_NE(ZYPOpenTokenSession(), 0) << "no server here: nothing can be open";

  ASSERT_EQ(ZYPSetSessionState(0, 0), 0);  // a live process opens again
  EXPECT_EQ(ZYPGetSessionState(0), 0);
  ASSERT_EQ(ZYPSetSessionState(0, 1), 0);
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
