#pragma once
// What several tests of the file library share: the second process that loads
// the library (file_probe), and a session opened through the real server on a
// token that was never set up, its dialogs answered by a script.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/modules.h"
#include "testsupport/test_env.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"

namespace zyp::file::testing {

inline std::string tests_folder() { return zyp::testing::build_folder() + "/tests"; }

inline pid_t start_probe(const std::vector<std::string>& args) {
  pid_t child = 0;
  EXPECT_EQ(zyp::platform::spawn_program(tests_folder() + "/file_probe", args, false, &child), 0);
  return child;
}

// The child's exit status, or 128 + the signal that ended it.
inline int wait_for(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int run_probe(const std::vector<std::string>& args) { return wait_for(start_probe(args)); }

// Starts the server and opens the token's session: the server asks to set the
// token up (Yes) and for its new PIN 4321. The script and the transcript of
// what was shown go into `folder`.
inline void open_session_through_server(const std::string& folder, uint32_t token) {
  ASSERT_TRUE(zyp::platform::write_file_atomically(
      folder + "/answers", "msgbox 6\ndialog 139 set 1001 \"4321\"\ndialog 139 set 1002 \"4321\"\ndialog 139 click 1\n"));
  ::setenv("ZYP_UI", ("script:" + folder + "/answers").c_str(), 1);
  ::setenv("ZYP_UI_TRANSCRIPT", (folder + "/transcript").c_str(), 1);
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  ASSERT_EQ(ZYPCIPOpenSession(token), 1);
  ASSERT_EQ(ZYPGetSessionState(token), 0);
}

}  // namespace zyp::file::testing
