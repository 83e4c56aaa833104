#include "platform/ui/script.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/lang_module.h"
#include "platform/object_files.h"

namespace zyp::platform::ui::detail {
namespace {

struct Word {
  std::string text;
  bool quoted = false;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The line without its comment: '#' at the start of a word outside quotes.
std::string_view without_comment(std::string_view line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '#' && (i == 0 || is_blank(line[i - 1]))) {
      return line.substr(0, i);
    }
  }
  return line;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the quote.
bool read_quoted(std::string_view line, size_t& pos, std::string& text, std::string& error) {
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      text += c;
      continue;
    }
    if (++pos == line.size()) break;
    switch (line[pos]) {
      case '"': text += '"'; break;
      case '\\': text += '\\'; break;
      case 'n': text += '\n'; break;
      case 't': text += '\t'; break;
      default:
        error = std::string("unknown escape \\") + line[pos];
        return false;
    }
  }
  error = "a text without its closing quote";
  return false;
}

bool split_words(std::string_view line, std::vector<Word>& words, std::string& error) {
  size_t pos = 0;
  while (pos < line.size()) {
    if (is_blank(line[pos])) {
      ++pos;
      continue;
    }
    Word word;
    if (line[pos] == '"') {
      word.quoted = true;
      if (!read_quoted(line, pos, word.text, error)) return false;
      if (pos < line.size() && !is_blank(line[pos])) {
        error = "a blank must follow a quoted text";
        return false;
      }
    } else {
      while (pos < line.size() && !is_blank(line[pos])) word.text += line[pos++];
    }
    words.push_back(std::move(word));
  }
  return true;
}

// The largest tick count and item index a script line may give
// (SCRIPT_FORMAT.txt documents them).
constexpr int64_t kMostTicks = 1'000'000;
constexpr int64_t kHighestIndex = 1'000'000;

std::optional<int64_t> number_of(const Word& word, int64_t lowest, int64_t highest) {
  if (word.quoted) return std::nullopt;
  int64_t value = 0;
  const char* end = word.text.data() + word.text.size();
  auto [stop, problem] = std::from_chars(word.text.data(), end, value);
  if (problem != std::errc() || stop != end || value < lowest || value > highest) return std::nullopt;
  return value;
}

bool is_name(std::string_view text) {
  if (text.empty() || (text[0] >= '0' && text[0] <= '9')) return false;
  for (char c : text) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9') && c != '_') return false;
  }
  return true;
}

std::optional<std::string> dialog_key_of(const Word& word) {
  if (auto number = number_of(word, 0, 65535)) return resource_key(static_cast<uint32_t>(*number));
  if (!word.quoted && is_name(word.text)) return resource_key(std::string_view(word.text));
  return std::nullopt;
}

// Fills the action from `words` (after "dialog"); the error text otherwise.
std::string read_dialog_action(const std::vector<Word>& words, ScriptAction& action) {
  if (words.size() < 3) return "expected: dialog N set|check|select|click|tick ...";
  auto key = dialog_key_of(words[1]);
  if (!key) return "expected a dialog number or name, found " + words[1].text;
  action.dialog = *key;
  const std::string& verb = words[2].text;
  size_t expected = 0;
  if (verb == "tick") {
    action.verb = ScriptAction::Verb::Tick;
    if (words.size() != 4) return "expected: dialog N tick COUNT";
    auto count = number_of(words[3], 1, kMostTicks);
    if (!count) return "expected a tick count from 1 to " + std::to_string(kMostTicks) + ", found " + words[3].text;
    action.number = *count;
    return {};
  }
  if (verb == "set") {
    action.verb = ScriptAction::Verb::Set;
    expected = 5;
  } else if (verb == "check") {
    action.verb = ScriptAction::Verb::Check;
    expected = 5;
  } else if (verb == "select") {
    action.verb = ScriptAction::Verb::Select;
    expected = 5;
  } else if (verb == "click") {
    action.verb = ScriptAction::Verb::Click;
    expected = 4;
  } else {
    return "unknown dialog action " + verb;
  }
  if (words.size() != expected) return "wrong number of words for dialog N " + verb;
  auto control = number_of(words[3], 0, 65535);
  if (!control) return "expected a control id (0 to 65535), found " + words[3].text;
  action.control = static_cast<uint32_t>(*control);
  if (action.verb == ScriptAction::Verb::Set) {
    if (!words[4].quoted) return "the text to type must stand in double quotes";
    action.text = words[4].text;
  } else if (action.verb == ScriptAction::Verb::Check) {
    auto state = number_of(words[4], 0, 1);
    if (!state) return "expected 0 or 1 after check, found " + words[4].text;
    action.number = *state;
  } else if (action.verb == ScriptAction::Verb::Select) {
    auto index = number_of(words[4], 0, kHighestIndex);
    if (!index) return "expected an item index from 0 to " + std::to_string(kHighestIndex) + ", found " + words[4].text;
    action.number = *index;
  }
  return {};
}

std::string read_browse_action(std::string_view rest, ScriptAction& action) {
  action.verb = ScriptAction::Verb::Browse;
  rest = trimmed(rest);
  if (rest.empty()) {
    action.cancel = true;
    return {};
  }
  if (rest.front() != '"') {
    action.text = rest;
    return {};
  }
  std::string error;
  size_t pos = 0;
  if (!read_quoted(rest, pos, action.text, error)) return error;
  if (!trimmed(rest.substr(pos)).empty()) return "unexpected text after the quoted path";
  return {};
}

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string absolute_path(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ignored), ignored);
  return full.empty() ? path : full.string();
}

}  // namespace

std::optional<ScriptAction> parse_script_line(std::string_view line, int number) {
  std::string_view content = trimmed(without_comment(line));
  if (content.empty()) return std::nullopt;
  ScriptAction action;
  action.line = number;
  action.source = content;
  std::vector<Word> words;
  std::string error;
  if (!split_words(content, words, error)) {
    action.error = error;
    return action;
  }
  const Word& verb = words.front();
  if (verb.quoted) {
    error = "a line starts with dialog, msgbox or browse";
  } else if (verb.text == "dialog") {
    error = read_dialog_action(words, action);
  } else if (verb.text == "msgbox") {
    action.verb = ScriptAction::Verb::MsgBox;
    auto button = words.size() == 2 ? number_of(words[1], 1, 11) : std::nullopt;
    if (button) action.number = *button;
    else error = "expected: msgbox BUTTON (1 OK, 2 Cancel, 6 Yes, 7 No, ...)";
  } else if (verb.text == "browse") {
    error = read_browse_action(content.substr(verb.text.size()), action);
  } else {
    error = "unknown action " + verb.text;
  }
  if (!error.empty()) {
    action.verb = ScriptAction::Verb::Invalid;
    action.error = std::move(error);
  }
  return action;
}

ScriptStep next_script_action(std::string_view script, size_t offset) {
  int line_number = 1;
  for (size_t i = 0; i < offset && i < script.size(); ++i) line_number += script[i] == '\n';
  while (offset < script.size()) {
    size_t end = script.find('\n', offset);
    size_t stop = end == std::string_view::npos ? script.size() : end;
    size_t next = end == std::string_view::npos ? script.size() : end + 1;
    auto action = parse_script_line(script.substr(offset, stop - offset), line_number);
    offset = next;
    ++line_number;
    if (action) return ScriptStep{std::move(action), offset};
  }
  return ScriptStep{std::nullopt, script.size()};
}

ScriptCursor::ScriptCursor(std::string path) : path_(absolute_path(path)) {
  char name[48];
  std::snprintf(name, sizeof name, "zypui-script-%016llx", static_cast<unsigned long long>(fnv1a(path_)));
  if (auto lock = object_path(name, ".lock")) lock_path_ = *lock;
  shared_ = SharedMemory::create(name, sizeof(Position));
}

ScriptCursor::~ScriptCursor() = default;

ScriptCursor::Position* ScriptCursor::position() {
  return shared_ ? static_cast<Position*>(shared_->data()) : &local_;
}

std::optional<ScriptAction> ScriptCursor::next(const std::function<bool(const ScriptAction&)>& take,
                                               std::string* problem) {
  objects::UniqueFd lock;
  if (!lock_path_.empty()) {
    lock.reset(::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    while (lock && ::flock(lock.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  auto script = read_whole_file(path_);
  if (!script) {
    if (problem) *problem = "cannot read the script " + path_;
    return std::nullopt;
  }
  Position* at = position();
  size_t offset = at->offset;
  if (offset > script->size() || (offset > 0 && fnv1a(std::string_view(*script).substr(0, offset)) != at->prefix_hash)) {
    offset = 0;
  }
  ScriptStep step = next_script_action(*script, offset);
  if (!step.action) return std::nullopt;
  if (take(*step.action)) {
    at->offset = step.next_offset;
    at->prefix_hash = fnv1a(std::string_view(*script).substr(0, step.next_offset));
  }
  return std::move(step.action);
}

}  // namespace zyp::platform::ui::detail
