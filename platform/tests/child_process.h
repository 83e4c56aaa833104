#pragma once
// A forked helper process for the tests of the named objects. The child runs
// a body and exits with its result; parent and child can pass single bytes to
// each other to step through a scenario. A child still running when its
// object goes is killed and reaped.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

namespace zyp::testing {

class ChildProcess {
 public:
  template <typename Body>
  explicit ChildProcess(Body body) {
    if (::pipe(to_parent_) != 0 || ::pipe(to_child_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(to_parent_[0]);
      ::close(to_child_[1]);
      ::_exit(body(*this));
    }
    ::close(to_parent_[1]);
    ::close(to_child_[0]);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (running()) kill();
    ::close(to_parent_[0]);
    ::close(to_child_[1]);
  }

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && status_ < 0; }

  // Child side: tell the parent something (by default "ready"), wait for a word.
  void tell_parent(char word = 'r') { (void)!::write(to_parent_[1], &word, 1); }
  char hear_from_parent() {
    char word = 0;
    return ::read(to_child_[0], &word, 1) == 1 ? word : 0;
  }
  // Never returns: a holder that stays until it is killed.
  [[noreturn]] static void hang() {
    for (;;) ::pause();
  }

  // Parent side.
  void tell_child(char word = 'g') { (void)!::write(to_child_[1], &word, 1); }
  // The next word from the child, or 0 when none comes within the time (or it died).
  char hear_from_child(int timeout_ms = 10000) {
    pollfd ready{to_parent_[0], POLLIN, 0};
    char word = 0;
    if (::poll(&ready, 1, timeout_ms) != 1 || ::read(to_parent_[0], &word, 1) != 1) return 0;
    return word;
  }
  // Exit status, or 128 + signal.
  int join() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (status_ < 0 && ::waitpid(pid_, &status, 0) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return status_;
  }
  int kill() {
    if (running()) ::kill(pid_, SIGKILL);
    return join();
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int to_parent_[2] = {-1, -1};
  int to_child_[2] = {-1, -1};
};

}  // namespace zyp::testing
