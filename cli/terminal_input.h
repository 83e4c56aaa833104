#pragma once
// What a command asks the user for itself: secrets (pass sentences) and
// yes/no confirmations. On a terminal, secrets are typed without echo;
// when standard input is not a terminal, each secret is one line of it, so
// that scripts can feed them. Secrets are never taken from the command line.
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

namespace zyp::cli {

// A secret typed by the user: a fixed buffer (never reallocated, so no copy
// is left behind) that is wiped when it goes.
class Secret {
 public:
  static constexpr size_t kCapacity = 4096;

  Secret();
  ~Secret();
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  const char* c_str() const { return text_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool same_as(const Secret& other) const;

  void clear();
  // False when the text would exceed the capacity.
  bool append(char c);
  void drop_last();

 private:
  std::unique_ptr<char[]> text_;
  size_t size_ = 0;
};

// Reads one secret into `secret`: a no-echo prompt on stderr when standard
// input is a terminal, else the next line of standard input (a trailing CR
// is dropped). Throws Failed("cannot WHAT: ...") on a line longer than
// Secret::kCapacity, when the user interrupts, or, with `when_missing` as the
// reason, at the end of the input.
void read_secret(std::string_view prompt, Secret& secret, std::string_view what, std::string_view when_missing);

// Reads a secret twice ("Sentence: ", "Sentence again: " for the noun
// "sentence"). Throws Failed when the input ends or the two differ.
void read_confirmed_secret(std::string_view noun, Secret& secret, std::string_view what);

// Asks QUESTION [y/N] on the terminal: true for y or yes. Empty when
// standard input is not a terminal (nobody can answer).
std::optional<bool> confirm_on_terminal(std::string_view question);

}  // namespace zyp::cli
