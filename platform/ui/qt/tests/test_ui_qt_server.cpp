// The server's session dialogs on real windows: the real zypserver, started
// with ZYP_UI=qt on the offscreen platform, shows its PIN, initialisation and
// PIN change dialogs as Qt widgets, and a user acts on them with key and mouse
// events (driven mode). Every scenario also runs with ZYP_UI=script on the
// same lines, and both must end alike and record the same user actions and
// dialog results. And the programs that never show a window do not load Qt.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channel/client_process.h"
#include "platform/atomic_file.h"
#include "platform/object_files.h"
#include "platform/shared_memory.h"
#include "platform/ui/tests/ui_fixtures.h"
#include "testsupport/test_env.h"
#include "testsupport/soft_token.h"
#include "token/pkcs11.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kToken = 0;
constexpr char kPin[] = "1234";

// What the user did and how each dialog and box ended: the lines that must
// be the same whichever backend showed them.
std::vector<std::string> outcome_lines(const std::string& transcript) {
  std::vector<std::string> kept;
  for (const std::string& line : zyp::platform::ui::testing::lines_of(transcript)) {
    if (line.find(" user ") != std::string::npos || line.find(" end ") != std::string::npos ||
        line.starts_with("msgbox ") || line.starts_with("mismatch ") || line.find(" text 6 ") != std::string::npos) {
      kept.push_back(line);
    }
  }
  return kept;
}

pid_t server_pid() {
  zyp::platform::SharedBlock<zyp::channel::ClientShared> shared(zyp::channel::kClientSharedName);
  return shared.attached() ? shared->server_marker : 0;
}

// The libraries mapped into a process, one path per line.
std::string mapped_libraries(pid_t pid) {
  return zyp::platform::read_whole_file("/proc/" + std::to_string(pid) + "/maps").value_or("");
}

bool maps_qt(const std::string& maps) {
  return maps.find("libQt6") != std::string::npos || maps.find("libzypuiqt") != std::string::npos;
}

class ServerDialogs : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string folder = zyp::testing::make_temp_folder("ui");
    script_ = folder + "/answers";
    transcript_ = folder + "/transcript";
    ::setenv("ZYP_UI_TRANSCRIPT", transcript_.c_str(), 1);
    if (std::string(GetParam()) == "qt") {
      ::setenv("ZYP_UI", "qt", 1);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      ::setenv("ZYP_UI_QT_DRIVE", script_.c_str(), 1);
    } else {
      ::setenv("ZYP_UI", ("script:" + script_).c_str(), 1);
    }
  }
  void TearDown() override { ZYPCIPShutdownPKCS(); }

  void answer(const std::string& lines) { ASSERT_TRUE(zyp::platform::write_file_atomically(script_, lines)); }
  std::vector<std::string> outcome() const { return outcome_lines(transcript_); }

  std::string script_;
  std::string transcript_;
};

TEST_P(ServerDialogs, AFirstLoginSetsTheTokenUpThroughTheInitialisationDialog) {
  answer("msgbox 6\ndialog 139 set 1001 \"4321\"\ndialog 139 set 1002 \"4321\"\ndialog 139 click 1\n");
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 1);
  EXPECT_EQ(ZYPGetSessionState(kToken), 0);
  EXPECT_EQ(maps_qt(mapped_libraries(server_pid())), std::string(GetParam()) == "qt") << "who showed the dialogs";
  auto lines = outcome();
  ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
  EXPECT_TRUE(lines[0].starts_with("msgbox ") && lines[0].ends_with("-> 6")) << lines[0];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{"dialog 139 user set 1001 \"****\"", "dialog 139 user set 1002 \"****\"",
                                      "dialog 139 user click 1", "dialog 139 end 0"}));
}

TEST_P(ServerDialogs, ADeclinedInitialisationLeavesTheTokenAsItWas) {
  answer("msgbox 7\n");
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_NE(ZYPCIPOpenSession(kToken), 1);
  EXPECT_NE(ZYPGetSessionState(kToken), 0);
  auto lines = outcome();
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_TRUE(lines[0].starts_with("msgbox ") && lines[0].ends_with("-> 7")) << lines[0];
}

TEST_P(ServerDialogs, AWrongPinIsRefusedInTheDialogAndTheRightOneLogsIn) {
  zyp::testing::initialise_soft_token(kToken, kPin);
  answer("dialog 129 set 1000 \"9999\"\ndialog 129 click 1\ndialog 129 set 1000 \"1234\"\ndialog 129 click 1\n");
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 1);
  EXPECT_EQ(ZYPGetSessionState(kToken), 0);
  EXPECT_EQ(outcome(), (std::vector<std::string>{
                           "dialog 129 user set 1000 \"****\"", "dialog 129 user click 1",
                           "dialog 129 text 6 \"Wrong PIN. Type it again.\"", "dialog 129 user set 1000 \"****\"",
                           "dialog 129 text 6 \"\"", "dialog 129 user click 1", "dialog 129 end 0"}));
}

TEST_P(ServerDialogs, CancelInThePinDialogLeavesTheTokenLoggedOut) {
  zyp::testing::initialise_soft_token(kToken, kPin);
  answer("dialog 129 set 1000 \"12\"\ndialog 129 click 2\n");
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_NE(ZYPCIPOpenSession(kToken), 1);
  EXPECT_NE(ZYPGetSessionState(kToken), 0);
  EXPECT_EQ(outcome(), (std::vector<std::string>{"dialog 129 user set 1000 \"****\"", "dialog 129 user click 2",
                                                 "dialog 129 end 9"}));
}

TEST_P(ServerDialogs, ThePinChangeDialogChangesThePinTheNextLoginTakes) {
  zyp::testing::initialise_soft_token(kToken, kPin);
  answer(std::string("dialog 129 set 1000 \"1234\"\ndialog 129 click 1\n") +
         "dialog 105 set 1000 \"1234\"\ndialog 105 set 1001 \"8765\"\ndialog 105 set 1002 \"8765\"\n"
         "dialog 105 click 1\n" +
         "dialog 129 set 1000 \"8765\"\ndialog 129 click 1\n");
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  ASSERT_EQ(ZYPOpenTokenSession(), 0);
  EXPECT_EQ(ZYPChangeTokenSecret(), 1);
  ZYPCloseTokenSession();
  EXPECT_EQ(ZYPOpenTokenSession(), 0) << "logged in again with the new PIN";
  auto lines = outcome();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "dialog 105 end 0"), lines.end()) << ::testing::PrintToString(lines);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "dialog 129 end 0"), 2) << ::testing::PrintToString(lines);
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerDialogs, ::testing::Values("script", "qt"));

// ---- Programs without windows do not load Qt -----------------------------------

// A socket where an X display would listen, so that the automatic choice
// sees a display (it never answers like one).
class FakeDisplay {
 public:
  FakeDisplay() {
    number_ = 4000 + ::getpid() % 4000;
    std::string name = "/tmp/.X11-unix/X" + std::to_string(number_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.c_str(), name.size());
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length), 0) << std::strerror(errno);
    EXPECT_EQ(::listen(fd_.get(), 8), 0);
  }
  std::string display() const { return ":" + std::to_string(number_); }

 private:
  int number_;
  zyp::platform::objects::UniqueFd fd_;
};

TEST(WindowlessPrograms, TheServerWithZypUiNoneDoesNotLoadQt) {
  FakeDisplay display;
  ::setenv("DISPLAY", display.display().c_str(), 1);
  ::setenv("ZYP_UI", "none", 1);
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_NE(ZYPCIPOpenSession(kToken), 1) << "the none backend declines the dialogs";
  pid_t server = server_pid();
  ASSERT_GT(server, 0);
  std::string maps = mapped_libraries(server);
  EXPECT_NE(maps.find("zypserver"), std::string::npos);
  EXPECT_FALSE(maps_qt(maps)) << maps;
  ZYPCIPShutdownPKCS();
  ::unsetenv("DISPLAY");
}

// `zyp erase` on a terminal shows its progress bar there, through the user
// interface host, even with a display at hand; the loader's record of the
// process lists every library it loaded, dlopen included.
TEST(WindowlessPrograms, ZypOnATerminalDoesNotLoadQt) {
  FakeDisplay display;
  std::string folder = zyp::testing::make_temp_folder("zyp-tty");
  std::string victim = folder + "/big";
  ASSERT_TRUE(zyp::platform::write_file_atomically(victim, std::string(5u << 20, 'x')));
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  std::string terminal = ::ptsname(master);
  std::string zyp = zyp::testing::build_folder() + "/bin/zyp";
  std::string record = folder + "/loaded";
  pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    int tty = ::open(terminal.c_str(), O_RDWR);  // becomes the controlling terminal
    if (tty < 0) ::_exit(120);
    for (int fd = 0; fd < 3; ++fd) ::dup2(tty, fd);
    ::setenv("DISPLAY", display.display().c_str(), 1);
    ::unsetenv("ZYP_UI");
    ::unsetenv("ZYP_UI_TRANSCRIPT");
    ::setenv("LD_DEBUG", "files", 1);
    ::setenv("LD_DEBUG_OUTPUT", record.c_str(), 1);
    ::execl(zyp.c_str(), zyp.c_str(), "erase", "--yes", victim.c_str(), static_cast<char*>(nullptr));
    ::_exit(121);
  }
  ASSERT_GT(child, 0);
  std::string shown;
  int status = -1;
  for (auto give_up = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < give_up;) {
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, 50) > 0) {
      char chunk[4096];
      ssize_t got = ::read(master, chunk, sizeof chunk);
      if (got > 0) shown.append(chunk, static_cast<size_t>(got));
    }
    if (::waitpid(child, &status, WNOHANG) == child) break;
  }
  if (status == -1) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_NE(shown.find("100%"), std::string::npos) << "the progress bar on the terminal: " << shown;
  std::string loaded = zyp::platform::read_whole_file(record + "." + std::to_string(child)).value_or("");
  EXPECT_NE(loaded.find("libzypfile"), std::string::npos) << "the record names the loaded libraries";
  EXPECT_FALSE(maps_qt(loaded)) << loaded;
}

}  // namespace
