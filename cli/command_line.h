#pragma once
// The command line of zyp: `zyp NOUN VERB [options] [operands]` (or, for a
// command with an empty verb, `zyp COMMAND [options] [operands]`), with --help
// (or -h) at every level and --version. This file only parses and explains;
// the commands themselves live in their own files.
//
// Exit codes: 0 success, 1 the operation failed, 2 usage error. A command
// reports a failure by throwing Failed and a bad command line by throwing
// UsageError; the dispatcher turns either into one line on stderr.
#include <map>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// What the user typed after NOUN VERB.
class Invocation {
 public:
  std::vector<std::string> operands;

  bool has(std::string_view option) const { return flags_.contains(option) || values_.contains(option); }
  // The value of an option that takes one, or null when it was not given.
  const std::string* value(std::string_view option) const;

  void set_flag(std::string_view option) { flags_.emplace(option); }
  void set_value(std::string_view option, std::string value) { values_[std::string(option)] = std::move(value); }

 private:
  std::set<std::string, std::less<>> flags_;
  std::map<std::string, std::string, std::less<>> values_;
};

struct Option {
  std::string_view name;        // "--token"
  std::string_view value_name;  // "N"; empty for an option without a value
  std::string_view help;
  bool required = false;
};

struct Command {
  std::string_view noun;
  std::string_view verb;  // empty: the noun alone names the command
  std::string_view operands;  // as the synopsis shows them: "NAME", "ID"
  size_t min_operands;
  size_t max_operands;
  std::span<const Option> options;
  std::string_view summary;  // one line for the lists
  std::string_view details;  // the paragraph of its own --help
  int (*run)(const Invocation&);
};

struct Noun {
  std::string_view name;
  std::string_view summary;
};

// The operation failed: `message` is the whole line after "zyp: ".
class Failed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The command line is wrong: `message` says what (without "zyp ...: ").
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses argv, runs the command and returns the exit code.
int run_command_line(int argc, const char* const* argv, std::span<const Noun> nouns,
                     std::span<const Command> commands, std::string_view about);

}  // namespace zyp::cli
