#include "cli/terminal_input.h"

#include <signal.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/results.h"
#include "platform/terminal_echo.h"

namespace zyp::cli {
namespace {

volatile sig_atomic_t interrupted = 0;

void note_interrupt(int) { interrupted = 1; }

// While it lives, Ctrl-C (and a hang-up or termination request) cuts a read
// short instead of ending the process with the terminal's echo still off.
class InterruptCatcher {
 public:
  InterruptCatcher() {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = note_interrupt;  // no SA_RESTART: the read returns EINTR
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &action, &saved_[i]);
  }
  ~InterruptCatcher() {
    for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction saved_[kSignals.size()] {};
};

enum class LineRead { kLine, kEnd, kTooLong, kInterrupted };

// Reads one line of standard input byte by byte, so that nothing beyond it is
// consumed (the next secret may follow on the next line).
LineRead read_line(Secret& line) {
  line.clear();
  for (;;) {
    char c = 0;
    ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) {
      if (interrupted) return LineRead::kInterrupted;
      continue;
    }
    if (got <= 0) return line.empty() ? LineRead::kEnd : LineRead::kLine;
    if (c == '\n') return LineRead::kLine;
    if (!line.append(c)) return LineRead::kTooLong;
  }
}

void drop_carriage_return(Secret& line) {
  if (!line.empty() && line.c_str()[line.size() - 1] == '\r') line.drop_last();
}

void print_prompt(std::string_view prompt) {
  std::fprintf(stderr, "%.*s", static_cast<int>(prompt.size()), prompt.data());
  std::fflush(stderr);
}

}  // namespace

Secret::Secret() : text_(new char[kCapacity + 1]()) {}

Secret::~Secret() { explicit_bzero(text_.get(), kCapacity + 1); }

bool Secret::same_as(const Secret& other) const {
  return size_ == other.size_ && std::memcmp(text_.get(), other.text_.get(), size_) == 0;
}

void Secret::clear() {
  explicit_bzero(text_.get(), kCapacity + 1);
  size_ = 0;
}

void Secret::drop_last() {
  if (size_ > 0) text_[--size_] = 0;
}

bool Secret::append(char c) {
  if (size_ >= kCapacity) return false;
  text_[size_++] = c;
  return true;
}

void read_secret(std::string_view prompt, Secret& secret, std::string_view what, std::string_view when_missing) {
  LineRead outcome;
  if (::isatty(STDIN_FILENO)) {
    InterruptCatcher catcher;
    platform::EchoOff echo(STDIN_FILENO);
    print_prompt(prompt);
    outcome = read_line(secret);
  } else {
    outcome = read_line(secret);
  }
  drop_carriage_return(secret);
  switch (outcome) {
    case LineRead::kLine: return;
    case LineRead::kEnd: fail(what, when_missing);
    case LineRead::kTooLong:
      fail(what, "the sentence is longer than " + std::to_string(Secret::kCapacity) + " bytes");
    case LineRead::kInterrupted: fail(what, "interrupted");
  }
}

std::optional<bool> confirm_on_terminal(std::string_view question) {
  if (!::isatty(STDIN_FILENO)) return std::nullopt;
  InterruptCatcher catcher;
  print_prompt(std::string(question) + " [y/N] ");
  Secret answer;
  if (read_line(answer) != LineRead::kLine) return false;
  drop_carriage_return(answer);
  return ::strcasecmp(answer.c_str(), "y") == 0 || ::strcasecmp(answer.c_str(), "yes") == 0;
}

void read_confirmed_secret(std::string_view noun, Secret& secret, std::string_view what) {
  std::string name(noun);
  std::string capital = name;
  if (!capital.empty()) capital[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capital[0])));
  Secret again;
  read_secret(capital + ": ", secret, what, "the input ended before the " + name);
  read_secret(capital + " again: ", again, what,
              "the " + name + "'s confirmation is missing: the input ended before the " + name +
                  " came a second time");
  if (!secret.same_as(again)) fail(what, "the two " + name + "s differ");
}

}  // namespace zyp::cli
