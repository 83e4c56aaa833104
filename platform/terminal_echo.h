#pragma once
// Turns a terminal's echo off while a secret is typed. The line feed that
// ends the entry still echoes, so the next output starts on a new line.
#include <termios.h>

namespace zyp::platform {

class EchoOff {
 public:
  // Does nothing when `active` is false or `fd` is no terminal.
  explicit EchoOff(int fd, bool active = true) : fd_(fd) {
    if (!active || ::tcgetattr(fd, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~ECHO;
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd, TCSANOW, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace zyp::platform
