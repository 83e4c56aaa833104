#include "cli/command_line.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>

#ifndef ZYP_VERSION
#define ZYP_VERSION "unknown"
#endif

namespace zyp::cli {

const std::string* Invocation::value(std::string_view option) const {
  auto found = values_.find(option);
  return found == values_.end() ? nullptr : &found->second;
}

namespace {

using Args = std::span<const std::string_view>;

bool is_help(std::string_view arg) { return arg == "--help" || arg == "-h"; }

// --help counts anywhere before "--", so that `zyp keys new --help` explains
// even a command line that is still incomplete.
bool asks_for_help(Args args) {
  for (std::string_view arg : args) {
    if (arg == "--") return false;
    if (is_help(arg)) return true;
  }
  return false;
}

// A command without a verb ("zyp erase PATH") is named by its noun alone.
std::string joined(std::string_view a, std::string_view b) {
  return b.empty() ? std::string(a) : std::string(a) + " " + std::string(b);
}

std::string option_text(const Option& option) {
  std::string text(option.name);
  if (!option.value_name.empty()) text += " " + std::string(option.value_name);
  return text;
}

std::string synopsis(const Command& command) {
  std::string text = "zyp " + joined(command.noun, command.verb);
  if (!command.operands.empty()) text += " " + std::string(command.operands);
  for (const Option& option : command.options)
    text += option.required ? " " + option_text(option) : " [" + option_text(option) + "]";
  return text;
}

void print_rows(const std::vector<std::pair<std::string, std::string_view>>& rows) {
  size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  for (const auto& [left, right] : rows)
    std::printf("  %-*s  %.*s\n", static_cast<int>(width), left.c_str(), static_cast<int>(right.size()), right.data());
}

std::vector<const Command*> verbs_of(std::string_view noun, std::span<const Command> commands) {
  std::vector<const Command*> verbs;
  for (const Command& command : commands)
    if (command.noun == noun) verbs.push_back(&command);
  return verbs;
}

std::string verb_names(std::string_view noun, std::span<const Command> commands) {
  std::string names;
  for (const Command* command : verbs_of(noun, commands))
    names += (names.empty() ? "" : ", ") + std::string(command->verb);
  return names;
}

int print_program_help(std::span<const Command> commands, std::string_view about) {
  std::printf("usage: zyp NOUN VERB [options] [operands]\n\n%.*s\n\nCommands:\n", static_cast<int>(about.size()),
              about.data());
  std::vector<std::pair<std::string, std::string_view>> rows;
  for (const Command& command : commands) rows.emplace_back(joined(command.noun, command.verb), command.summary);
  print_rows(rows);
  std::printf("\nEvery level takes --help (or -h), for example `zyp keys new --help`;\n"
              "`zyp --version` prints the version.\n"
              "Exit codes: 0 success, 1 the operation failed, 2 usage error.\n");
  return kExitOk;
}

int print_noun_help(const Noun& noun, std::span<const Command> commands) {
  std::printf("usage: zyp %.*s VERB [options] [operands]\n\n%.*s\n\nVerbs:\n", static_cast<int>(noun.name.size()),
              noun.name.data(), static_cast<int>(noun.summary.size()), noun.summary.data());
  std::vector<std::pair<std::string, std::string_view>> rows;
  for (const Command* command : verbs_of(noun.name, commands)) rows.emplace_back(command->verb, command->summary);
  print_rows(rows);
  std::printf("\n`zyp %.*s VERB --help` explains a verb and its options.\n", static_cast<int>(noun.name.size()),
              noun.name.data());
  return kExitOk;
}

int print_command_help(const Command& command) {
  std::printf("usage: %s\n\n%.*s\n", synopsis(command).c_str(), static_cast<int>(command.summary.size()),
              command.summary.data());
  if (!command.details.empty())
    std::printf("\n%.*s\n", static_cast<int>(command.details.size()), command.details.data());
  std::vector<std::pair<std::string, std::string_view>> rows;
  for (const Option& option : command.options) rows.emplace_back(option_text(option), option.help);
  rows.emplace_back("-h, --help", "show this help");
  std::printf("\nOptions:\n");
  print_rows(rows);
  return kExitOk;
}

const Option* find_option(const Command& command, std::string_view name) {
  for (const Option& option : command.options)
    if (option.name == name) return &option;
  return nullptr;
}

// Reads one "--name", "--name=value" or "--name value" starting at args[i];
// returns the index of the last word used.
size_t parse_option(const Command& command, Args args, size_t i, Invocation& invocation) {
  std::string_view word = args[i];
  size_t equals = word.find('=');
  std::string_view name = word.substr(0, equals);
  const Option* option = find_option(command, name);
  if (!option) throw UsageError("unknown option " + std::string(name));
  if (option->value_name.empty()) {
    if (equals != std::string_view::npos) throw UsageError("option " + std::string(name) + " takes no value");
    invocation.set_flag(name);
    return i;
  }
  if (equals != std::string_view::npos) {
    invocation.set_value(name, std::string(word.substr(equals + 1)));
    return i;
  }
  if (i + 1 >= args.size()) throw UsageError("option " + option_text(*option) + " needs a value");
  invocation.set_value(name, std::string(args[i + 1]));
  return i + 1;
}

void check_complete(const Command& command, const Invocation& invocation) {
  if (invocation.operands.size() < command.min_operands)
    throw UsageError("missing " + std::string(command.operands));
  if (invocation.operands.size() > command.max_operands)
    throw UsageError("unexpected argument \"" + invocation.operands[command.max_operands] + "\"");
  for (const Option& option : command.options)
    if (option.required && !invocation.has(option.name)) throw UsageError("missing " + option_text(option));
}

Invocation parse(const Command& command, Args args) {
  Invocation invocation;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view word = args[i];
    if (!options_ended && word == "--") {
      options_ended = true;
    } else if (!options_ended && word.size() > 1 && word[0] == '-') {
      i = parse_option(command, args, i, invocation);
    } else {
      invocation.operands.emplace_back(word);
    }
  }
  check_complete(command, invocation);
  return invocation;
}

int usage_error(std::string_view context, std::string_view message, std::string_view help) {
  std::fprintf(stderr, "%.*s: %.*s (see `%.*s`)\n", static_cast<int>(context.size()), context.data(),
               static_cast<int>(message.size()), message.data(), static_cast<int>(help.size()), help.data());
  return kExitUsage;
}

int run_command(const Command& command, Args args) {
  std::string context = "zyp " + joined(command.noun, command.verb);
  if (asks_for_help(args)) return print_command_help(command);
  try {
    return command.run(parse(command, args));
  } catch (const UsageError& error) {
    return usage_error(context, error.what(), context + " --help");
  }
}

int dispatch(Args args, std::span<const Noun> nouns, std::span<const Command> commands, std::string_view about) {
  if (args.empty()) return usage_error("zyp", "missing command", "zyp --help");
  std::string_view first = args[0];
  if (is_help(first)) return print_program_help(commands, about);
  if (first == "--version") {
    std::printf("zyp (Quillmarsh Folder) %s\n", ZYP_VERSION);
    return kExitOk;
  }
  for (const Command& command : commands)
    if (command.noun == first && command.verb.empty()) return run_command(command, args.subspan(1));
  auto noun = std::find_if(nouns.begin(), nouns.end(), [&](const Noun& n) { return n.name == first; });
  if (first.starts_with('-')) return usage_error("zyp", "unknown option " + std::string(first), "zyp --help");
  if (noun == nouns.end()) return usage_error("zyp", "unknown command \"" + std::string(first) + "\"", "zyp --help");

  std::string context = "zyp " + std::string(first);
  if (args.size() < 2)
    return usage_error(context, "missing verb, one of " + verb_names(first, commands), context + " --help");
  std::string_view verb = args[1];
  if (is_help(verb)) return print_noun_help(*noun, commands);
  for (const Command& command : commands)
    if (command.noun == first && command.verb == verb) return run_command(command, args.subspan(2));
  return usage_error(context, "unknown verb \"" + std::string(verb) + "\", not one of " + verb_names(first, commands),
                     context + " --help");
}

}  // namespace

int run_command_line(int argc, const char* const* argv, std::span<const Noun> nouns,
                     std::span<const Command> commands, std::string_view about) {
  try {
    std::vector<std::string_view> args(argv + std::min(argc, 1), argv + argc);
    int code = dispatch(args, nouns, commands, about);
    std::fflush(stdout);
    return code;
  } catch (const Failed& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "zyp: %s\n", failure.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "zyp: out of memory\n");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zyp: unexpected error: %s\n", error.what());
  }
  return kExitFailed;
}

}  // namespace zyp::cli
