#include "platform/ini.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/last_error.h"

namespace zyp::platform {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

bool fits_on_a_line(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == text.npos; }

bool valid_section_name(std::string_view section) { return !section.empty() && fits_on_a_line(section); }

bool valid_key_name(std::string_view key) {
  return !key.empty() && fits_on_a_line(key) && key.find('=') == key.npos && key.front() != '[' &&
         key.front() != ';';
}

// Remembers names, without regard to case unless told, to list each name once.
class NameSet {
 public:
  explicit NameSet(bool fold_case = true) : fold_case_(fold_case) {}
  bool insert(std::string_view name) {
    std::string folded(name);
    if (fold_case_) {
      for (char& c : folded) c = ascii_lower(c);
    }
    return names_.insert(std::move(folded)).second;
  }

 private:
  bool fold_case_;
  std::unordered_set<std::string> names_;
};

// One past the closing quote of a name that starts the text in double
// quotes (a backslash escapes the next character), or npos.
size_t quoted_name_end(std::string_view text) {
  if (text.empty() || text.front() != '"') return text.npos;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return text.npos;
}

}  // namespace

std::string_view unquote_profile_value(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
  return value;
}

IniDocument::IniDocument(std::string_view text, IniKeys keys) : keys_(keys) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines_.push_back(classify(std::string(line)));
    if (end == text.npos) break;
    text.remove_prefix(end + 1);
  }
}

// The '=' that ends the key of a line's trimmed text, or npos.
size_t IniDocument::key_end(std::string_view body) const {
  if (keys_ == IniKeys::QuotedExact) {
    size_t end = quoted_name_end(body);
    if (end != body.npos) {
      size_t next = body.find_first_not_of(" \t", end);
      if (next != body.npos && body[next] == '=') return next;
    }
  }
  return body.find('=');
}

bool IniDocument::same_key(std::string_view a, std::string_view b) const {
  return keys_ == IniKeys::QuotedExact ? a == b : same_name(a, b);
}

bool IniDocument::valid_key(std::string_view key) const {
  if (keys_ == IniKeys::QuotedExact && !key.empty() && quoted_name_end(key) == key.size()) {
    return fits_on_a_line(key);
  }
  return valid_key_name(key);
}

IniDocument::Line IniDocument::classify(std::string text) const {
  Line line;
  std::string_view body = trim(text);
  if (!body.empty() && body.front() == '[') {
    size_t close = body.rfind(']');
    if (close != body.npos && close > 0) {
      line.kind = Kind::Section;
      line.name = std::string(trim(body.substr(1, close - 1)));
    }
  } else if (!body.empty() && body.front() != ';') {
    size_t equals = key_end(body);
    if (equals != body.npos) {
      std::string_view key = trim(body.substr(0, equals));
      if (!key.empty()) {
        line.kind = Kind::Key;
        line.name = std::string(key);
        line.equals = static_cast<size_t>(body.data() - text.data()) + equals;
      }
    }
  }
  line.text = std::move(text);
  return line;
}

std::string IniDocument::text() const {
  size_t size = 0;
  for (const auto& line : lines_) size += line.text.size() + 2;
  std::string out;
  out.reserve(size);
  for (const auto& line : lines_) {
    out += line.text;
    out += "\r\n";
  }
  return out;
}

std::optional<IniDocument::Range> IniDocument::find_section(std::string_view section) const {
  section = trim(section);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != Kind::Section || !same_name(lines_[i].name, section)) continue;
    size_t end = i + 1;
    while (end < lines_.size() && lines_[end].kind != Kind::Section) ++end;
    return Range{i, end};
  }
  return std::nullopt;
}

std::optional<size_t> IniDocument::find_key(const Range& range, std::string_view key) const {
  key = trim(key);
  for (size_t i = range.header + 1; i < range.end; ++i) {
    if (lines_[i].kind == Kind::Key && same_key(lines_[i].name, key)) return i;
  }
  return std::nullopt;
}

std::optional<std::string> IniDocument::trimmed_value(std::string_view section, std::string_view key) const {
  auto range = find_section(section);
  if (!range) return std::nullopt;
  auto index = find_key(*range, key);
  if (!index) return std::nullopt;
  const Line& line = lines_[*index];
  return std::string(trim(std::string_view(line.text).substr(line.equals + 1)));
}

bool IniDocument::has_section(std::string_view section) const { return find_section(section).has_value(); }

std::optional<std::string> IniDocument::value(std::string_view section, std::string_view key) const {
  auto raw = trimmed_value(section, key);
  if (!raw) return std::nullopt;
  return std::string(unquote_profile_value(*raw));
}

std::optional<std::string> IniDocument::raw_value(std::string_view section, std::string_view key) const {
  return trimmed_value(section, key);
}

std::vector<std::string> IniDocument::section_names() const {
  std::vector<std::string> names;
  NameSet seen;
  for (const auto& line : lines_) {
    if (line.kind == Kind::Section && seen.insert(line.name)) names.push_back(line.name);
  }
  return names;
}

std::vector<std::string> IniDocument::key_names(std::string_view section) const {
  std::vector<std::string> names;
  for (auto& entry : entries(section)) names.push_back(std::move(entry.key));
  return names;
}

std::vector<IniDocument::Entry> IniDocument::entries(std::string_view section) const {
  std::vector<Entry> found;
  auto range = find_section(section);
  if (!range) return found;
  NameSet seen(keys_ == IniKeys::Profile);
  for (size_t i = range->header + 1; i < range->end; ++i) {
    const Line& line = lines_[i];
    if (line.kind != Kind::Key || !seen.insert(line.name)) continue;
    found.push_back({line.name, std::string(trim(std::string_view(line.text).substr(line.equals + 1)))});
  }
  return found;
}

bool IniDocument::set(std::string_view section, std::string_view key, std::string_view value) {
  section = trim(section);
  key = trim(key);
  if (!valid_section_name(section) || !valid_key(key) || !fits_on_a_line(value)) return false;
  auto range = find_section(section);
  if (!range) {
    lines_.push_back(classify("[" + std::string(section) + "]"));
    lines_.push_back(classify(std::string(key) + "=" + std::string(value)));
    return true;
  }
  if (auto index = find_key(*range, key)) {
    Line& line = lines_[*index];
    line = classify(line.name + "=" + std::string(value));
    return true;
  }
  size_t insert_at = range->header + 1;
  for (size_t i = range->header + 1; i < range->end; ++i) {
    if (lines_[i].kind == Kind::Key) insert_at = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(insert_at),
                classify(std::string(key) + "=" + std::string(value)));
  return true;
}

bool IniDocument::add_section(std::string_view section) {
  section = trim(section);
  if (!valid_section_name(section)) return false;
  if (!find_section(section)) lines_.push_back(classify("[" + std::string(section) + "]"));
  return true;
}

bool IniDocument::erase_key(std::string_view section, std::string_view key) {
  auto range = find_section(section);
  if (!range) return false;
  key = trim(key);
  size_t kept = range->header + 1;
  for (size_t i = range->header + 1; i < range->end; ++i) {
    bool drop = lines_[i].kind == Kind::Key && same_key(lines_[i].name, key);
    if (drop) continue;
    if (kept != i) lines_[kept] = std::move(lines_[i]);
    ++kept;
  }
  bool removed = kept != range->end;
  lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(kept), lines_.begin() + static_cast<ptrdiff_t>(range->end));
  return removed;
}

bool IniDocument::erase_section(std::string_view section) {
  section = trim(section);
  std::vector<Line> kept;
  kept.reserve(lines_.size());
  bool inside = false;
  bool removed = false;
  for (auto& line : lines_) {
    if (line.kind == Kind::Section) inside = same_name(line.name, section);
    if (inside) {
      removed = true;
      continue;
    }
    kept.push_back(std::move(line));
  }
  lines_ = std::move(kept);
  return removed;
}

// ---- files ----

namespace {

// Serialises read-modify-write cycles of this process, as the Windows
// profile functions do; other processes are not excluded.
std::mutex& profile_mutex() {
  static std::mutex mutex;
  return mutex;
}

struct Xattr {
  std::string name;
  std::string value;
};

std::vector<Xattr> user_xattrs(const std::string& path) {
  std::vector<Xattr> found;
  ssize_t size = ::listxattr(path.c_str(), nullptr, 0);
  if (size <= 0) return found;
  std::string names(static_cast<size_t>(size), '\0');
  size = ::listxattr(path.c_str(), names.data(), names.size());
  if (size <= 0) return found;
  names.resize(static_cast<size_t>(size));
  for (size_t pos = 0; pos < names.size();) {
    std::string name = names.c_str() + pos;
    pos += name.size() + 1;
    if (name.rfind("user.", 0) != 0) continue;
    ssize_t length = ::getxattr(path.c_str(), name.c_str(), nullptr, 0);
    if (length < 0) continue;
    std::string value(static_cast<size_t>(length), '\0');
    length = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (length < 0) continue;
    value.resize(static_cast<size_t>(length));
    found.push_back({std::move(name), std::move(value)});
  }
  return found;
}

void restore_xattrs(const std::string& path, const std::vector<Xattr>& attrs) {
  for (const auto& attr : attrs) ::setxattr(path.c_str(), attr.name.c_str(), attr.value.data(), attr.value.size(), 0);
}

enum class Outcome { Refused, Unchanged, Changed };

template <class Change>
bool change_profile(const std::string& path, Change change) {
  try {
    std::lock_guard lock(profile_mutex());
    auto doc = read_ini_file(path);
    if (!doc) {
      set_last_error(win_error_from_errno(errno));
      return false;
    }
    switch (change(*doc)) {
      case Outcome::Refused:
        set_last_error(kErrorInvalidParameter);
        return false;
      case Outcome::Unchanged:
        return true;
      case Outcome::Changed:
        return write_ini_file(path, *doc);
    }
    return false;
  } catch (const std::exception&) {
    set_last_error(kErrorNotEnoughMemory);
    return false;
  }
}

uint32_t leading_number(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  uint32_t base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint32_t number = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (base == 16 && ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f') {
      digit = static_cast<uint32_t>(ascii_lower(c) - 'a' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    number = number * base + digit;  // wraps like the Windows conversion
  }
  return negative ? 0u - number : number;
}

}  // namespace

std::optional<IniDocument> read_ini_file(const std::string& path, IniKeys keys) {
  try {
    auto text = read_whole_file(path);
    if (text) return IniDocument(*text, keys);
    if (errno == ENOENT || errno == ENOTDIR) return IniDocument(keys);
    return std::nullopt;
  } catch (const std::exception&) {
    errno = ENOMEM;
    return std::nullopt;
  }
}

bool write_ini_file(const std::string& path, const IniDocument& doc) {
  try {
    unsigned mode = 0644;
    std::vector<Xattr> attrs;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      if ((st.st_mode & S_IWUSR) == 0) {
        set_last_error(kErrorAccessDenied);
        return false;
      }
      mode = st.st_mode & 07777;
      attrs = user_xattrs(path);
    }
    if (!write_file_atomically(path, doc.text(), mode)) {
      set_last_error(win_error_from_errno(errno));
      return false;
    }
    restore_xattrs(path, attrs);
    return true;
  } catch (const std::exception&) {
    set_last_error(kErrorNotEnoughMemory);
    return false;
  }
}

std::optional<std::string> read_profile_value(const std::string& path, std::string_view section,
                                              std::string_view key) {
  try {
    auto doc = read_ini_file(path);
    if (!doc) return std::nullopt;
    return doc->value(section, key);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string get_profile_string(const std::string& path, std::string_view section, std::string_view key,
                               std::string_view fallback) {
  try {
    auto value = read_profile_value(path, section, key);
    return value ? std::move(*value) : std::string(fallback);
  } catch (const std::exception&) {
    return {};
  }
}

uint32_t get_profile_int(const std::string& path, std::string_view section, std::string_view key,
                         int32_t fallback) {
  auto value = read_profile_value(path, section, key);
  if (!value || value->empty()) return static_cast<uint32_t>(fallback);
  return leading_number(*value);
}

std::vector<std::string> get_profile_section_names(const std::string& path) {
  try {
    auto doc = read_ini_file(path);
    return doc ? doc->section_names() : std::vector<std::string>{};
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<std::string> get_profile_key_names(const std::string& path, std::string_view section) {
  try {
    auto doc = read_ini_file(path);
    return doc ? doc->key_names(section) : std::vector<std::string>{};
  } catch (const std::exception&) {
    return {};
  }
}

bool write_profile_string(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value) {
  return change_profile(path, [&](IniDocument& doc) {
    std::string before = doc.text();
    if (!doc.set(section, key, value)) return Outcome::Refused;
    return doc.text() == before ? Outcome::Unchanged : Outcome::Changed;
  });
}

bool delete_profile_key(const std::string& path, std::string_view section, std::string_view key) {
  return change_profile(path, [&](IniDocument& doc) {
    return doc.erase_key(section, key) ? Outcome::Changed : Outcome::Unchanged;
  });
}

bool delete_profile_section(const std::string& path, std::string_view section) {
  return change_profile(path, [&](IniDocument& doc) {
    return doc.erase_section(section) ? Outcome::Changed : Outcome::Unchanged;
  });
}

size_t to_double_nul_list(const std::vector<std::string>& names, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  if (names.empty()) {
    std::memset(buffer, 0, size < 2 ? size : 2);
    return 0;
  }
  size_t total = 1;  // the closing NUL
  for (const auto& name : names) total += name.size() + 1;
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  size_t room = total <= size ? total - 1 : size - 2;
  size_t pos = 0;
  for (const auto& name : names) {
    if (pos >= room) break;
    size_t take = std::min(name.size(), room - pos);
    std::memcpy(buffer + pos, name.data(), take);
    pos += take;
    if (pos < room) buffer[pos++] = '\0';
  }
  buffer[room] = '\0';
  if (total > size) buffer[room + 1] = '\0';
  return room;
}

}  // namespace zyp::platform
