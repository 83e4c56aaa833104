#pragma once
// Running the zyp program as the user runs it, for the command-line tests:
// with pipes for its standard streams, or on a pseudo-terminal that answers
// its prompts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "testsupport/test_env.h"

namespace zyp::testing::cli {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kRunLimit = 60s;

inline std::string zyp_program() { return zyp::testing::build_folder() + "/bin/zyp"; }

struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

inline std::ostream& operator<<(std::ostream& os, const Outcome& run) {
  return os << "exit " << run.exit_code << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

inline size_t line_count(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Drains the child's output until both pipes close or the time is up.
inline void collect(int out_fd, int err_fd, Outcome& run, Clock::time_point deadline) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_pipes = 2;
  while (open_pipes > 0 && Clock::now() < deadline) {
    if (::poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else {
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
}

inline int exit_status(pid_t child, Clock::time_point deadline) {
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs zyp with `args`, feeding `input` on its standard input.
inline Outcome zyp(const std::vector<std::string>& args, const std::string& input = "") {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  std::string program = zyp_program();
  std::vector<char*> argv{program.data()};
  std::vector<std::string> copies(args);
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  (void)!::write(in[1], input.data(), input.size());  // a few lines fit the pipe
  ::close(in[1]);
  Outcome run;
  auto deadline = Clock::now() + kRunLimit;
  collect(out[0], err[0], run, deadline);
  ::close(out[0]);
  ::close(err[0]);
  run.exit_code = exit_status(child, deadline);
  return run;
}

// zyp on a pseudo-terminal as its controlling terminal, answering its prompts.
class OnTerminal {
 public:
  explicit OnTerminal(std::vector<std::string> args) : deadline_(Clock::now() + kRunLimit) {
    std::string program = zyp_program();
    std::vector<char*> argv{program.data()};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::forkpty(&terminal_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~OnTerminal() {
    if (pid_ > 0) exit_status(pid_, Clock::now());  // kills it when still running
    if (terminal_ >= 0) ::close(terminal_);
  }

  // Waits for `prompt` and types `line` and Enter.
  bool answer(const std::string& prompt, const std::string& line) {
    while (output_.find(prompt, answered_) == std::string::npos) {
      if (!read_some()) return false;
    }
    answered_ = output_.find(prompt, answered_) + prompt.size();
    std::string keys = line + "\n";
    return ::write(terminal_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
  }
  int finish() {
    while (read_some()) {
    }
    int status = exit_status(pid_, deadline_);
    pid_ = -1;
    return status;
  }
  const std::string& output() const { return output_; }

 private:
  // False at the end of the output (the child closed the terminal) or the time limit.
  bool read_some() {
    pollfd ready{terminal_, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) != 1) return false;
    char buffer[512];
    ssize_t got = ::read(terminal_, buffer, sizeof buffer);
    if (got <= 0) return false;
    output_.append(buffer, static_cast<size_t>(got));
    return true;
  }

  Clock::time_point deadline_;
  pid_t pid_ = -1;
  int terminal_ = -1;
  std::string output_;
  size_t answered_ = 0;
};

inline bool server_runs() { return zyp({"server", "status"}).out == "running\n"; }

// Every test gets its own folders, so that its server, token and keys are
// its own, and leaves no server behind.
class ZypCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = zyp::testing::make_temp_folder("cli");
    for (const char* variable : {"ZYP_RUNTIME_DIR", "ZYP_USER_DIR", "ZYP_MACHINE_DIR"}) {
      std::string folder = root + "/" + variable;
      ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
      ::setenv(variable, folder.c_str(), 1);
    }
    folder_ = root;
  }
  void TearDown() override {
    zyp({"server", "stop"});
    ::unsetenv("ZYP_TEST_SERVER_IDLE_MS");
  }

  std::string folder_;
};

inline constexpr char kAlgorithm[] = "DES 40 bits";
inline constexpr char kPin[] = "4321";
inline constexpr char kSentence[] = "a sentence long enough to remember";

// The token has never been set up: the server offers to initialise it, the
// script says yes and gives the new PIN twice; the server then logs in.
class ZypLoggedIn : public ZypCli {
 protected:
  void SetUp() override {
    ZypCli::SetUp();
    std::string script = folder_ + "/answers";
    transcript_ = folder_ + "/transcript";
    std::string pin = std::string("\"") + kPin + "\"";
    ASSERT_TRUE(zyp::platform::write_file_atomically(script, "msgbox 6\n"
                                                             "dialog 139 set 1001 " + pin + "\n"
                                                             "dialog 139 set 1002 " + pin + "\n"
                                                             "dialog 139 click 1\n"));
    ::setenv("ZYP_UI", ("script:" + script).c_str(), 1);
    ::setenv("ZYP_UI_TRANSCRIPT", transcript_.c_str(), 1);
    Outcome login = zyp({"token", "login"});
    ASSERT_EQ(login.exit_code, 0) << login << "\ntranscript: "
                                  << zyp::platform::read_whole_file(transcript_).value_or("(none)");
    ASSERT_TRUE(contains(login.out, "token 0: logged in")) << login;
  }
  void TearDown() override {
    ZypCli::TearDown();
    ::setenv("ZYP_UI", "none", 1);
    ::unsetenv("ZYP_UI_TRANSCRIPT");
  }

  std::string new_sentence_key(const std::string& name, const std::string& input, Outcome* run_out = nullptr) {
    Outcome run = zyp({"keys", "new", name, "--algorithm", kAlgorithm, "--from-sentence"}, input);
    if (run_out) *run_out = run;
    return run.exit_code == 0 ? run.out.substr(0, run.out.size() - 1) : "";
  }

  std::string transcript_;
};

}  // namespace zyp::testing::cli
