#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <optional>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/ini.h"
#include "platform/last_error.h"

namespace zyp::platform::reg {
namespace {

constexpr std::string_view kHiveSuffix = ".reg";

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

bool starts_with_name(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && same_name(text.substr(0, prefix.size()), prefix);
}

// True when `section` names `key` itself or a key below it.
bool at_or_below(std::string_view section, std::string_view key) {
  return starts_with_name(section, key) && (section.size() == key.size() || section[key.size()] == '\\');
}

bool fits_on_a_line(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == text.npos; }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool valid_key_part(std::string_view part) {
  return fits_on_a_line(part) && !is_blank(part.front()) && !is_blank(part.back());
}

// Any name that can stand between quotes on one line; '"' and '\\' are escaped.
bool valid_value_name(std::string_view name) { return fits_on_a_line(name); }

bool known_root(Root root) {
  return root == Root::ClassesRoot || root == Root::CurrentUser || root == Root::LocalMachine || root == Root::Users;
}

std::string users_folder() { return machine_dir() + "/users"; }

// A user's key name as a file name: ASCII lower case (key names ignore
// case), anything but letters, digits, '-', '_' and a non-leading '.' as %XX.
std::string user_file_stem(std::string_view user) {
  std::string stem;
  for (char raw : user) {
    char c = ascii_lower(raw);
    bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || (c == '.' && !stem.empty());
    if (plain) {
      stem += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      stem += escaped;
    }
  }
  return stem;
}

struct KeyPath {
  Root root{};
  std::vector<std::string> parts;
  std::string hive;     // the file; empty for the HKEY_USERS root itself
  std::string section;  // root name, then "\" and each part, as the caller spelled it
  bool is_root() const { return parts.empty(); }
};

uint32_t parse_key_path(Root root, std::string_view path, KeyPath& key) {
  if (!known_root(root)) return kErrorInvalidHandle;
  key.root = root;
  key.section = root_name(root);
  while (!path.empty()) {
    size_t slash = path.find('\\');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) {
      if (!valid_key_part(part)) return kErrorInvalidParameter;
      key.parts.emplace_back(part);
      key.section += '\\';
      key.section += part;
    }
    if (slash == path.npos) break;
    path.remove_prefix(slash + 1);
  }
  switch (root) {
    case Root::ClassesRoot:
      key.hive = machine_dir() + "/HKCR.reg";
      break;
    case Root::LocalMachine:
      key.hive = machine_dir() + "/HKLM.reg";
      break;
    case Root::CurrentUser:
      key.hive = user_dir() + "/HKCU.reg";
      break;
    case Root::Users:
      if (!key.parts.empty()) key.hive = users_folder() + "/" + user_file_stem(key.parts[0]) + std::string(kHiveSuffix);
      break;
  }
  return 0;
}

// One hive, locked for the life of the object (the lock is a file beside the
// hive, so replacing the hive by rename does not lose it).
class Hive {
 public:
  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive() {
    if (lock_fd_ >= 0) ::close(lock_fd_);
  }

  // Shared lock for reading, exclusive for a change. A read of a hive whose
  // folder does not exist sees an empty hive and creates nothing.
  uint32_t load(const std::string& file, bool for_change) {
    file_ = file;
    std::string folder = file.substr(0, file.find_last_of('/'));
    if (for_change && !make_folders(folder)) return errno ? win_error_from_errno(errno) : kErrorPathNotFound;
    std::string lock_file = file + ".lock";
    lock_fd_ = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0) return !for_change && (errno == ENOENT || errno == ENOTDIR) ? 0 : win_error_from_errno(errno);
    while (::flock(lock_fd_, for_change ? LOCK_EX : LOCK_SH) != 0) {
      if (errno != EINTR) return win_error_from_errno(errno);
    }
    auto text = read_ini_file(file, IniKeys::QuotedExact);
    if (!text) return win_error_from_errno(errno);
    doc = std::move(*text);
    return 0;
  }

  // An emptied hive is removed, so that a deleted user's hive disappears.
  uint32_t save() {
    if (doc.empty()) {
      if (::unlink(file_.c_str()) != 0 && errno != ENOENT) return win_error_from_errno(errno);
      return 0;
    }
    if (!write_file_atomically(file_, doc.text(), 0600)) return win_error_from_errno(errno);
    return 0;
  }

  IniDocument doc;

 private:
  std::string file_;
  int lock_fd_ = -1;
};

// ---- keys: one section per key, "[ROOT\path]" ----

// The key's name in its stored spelling, when it exists: it has a section,
// or some key below it has one.
std::optional<std::string> stored_key(const IniDocument& doc, std::string_view key) {
  for (const auto& section : doc.section_names()) {
    if (at_or_below(section, key)) return section.substr(0, key.size());
  }
  return std::nullopt;
}

std::vector<std::string> subkeys(const IniDocument& doc, std::string_view key) {
  std::vector<std::string> names;
  for (const auto& section : doc.section_names()) {
    if (section.size() <= key.size() || !at_or_below(section, key)) continue;
    std::string_view rest = std::string_view(section).substr(key.size() + 1);
    std::string_view child = rest.substr(0, rest.find('\\'));
    if (child.empty()) continue;
    bool known = std::any_of(names.begin(), names.end(), [&](const std::string& n) { return same_name(n, child); });
    if (!known) names.emplace_back(child);
  }
  return names;
}

// Creates every missing key along the path; returns the key's stored name.
std::string ensure_key(IniDocument& doc, const KeyPath& key) {
  std::string name = root_name(key.root);
  for (const auto& part : key.parts) {
    std::string wanted = name + "\\" + part;
    if (auto stored = stored_key(doc, wanted)) {
      name = std::move(*stored);
    } else {
      doc.add_section(wanted);
      name = std::move(wanted);
    }
  }
  return name;
}

// The section that holds the key's values; the roots always exist.
std::optional<std::string> existing_key(const IniDocument& doc, const KeyPath& key) {
  if (key.is_root()) return key.section;
  return stored_key(doc, key.section);
}

void erase_tree(IniDocument& doc, std::string_view key) {
  for (const auto& section : doc.section_names()) {
    if (at_or_below(section, key)) doc.erase_section(section);
  }
}

// ---- values: "name"=data lines, the unnamed value as @ ----

// Value names are compared exactly (on Linux they are often paths, where
// case matters), quoted, with '"' and '\\' escaped by a backslash.
std::string encode_name(std::string_view name) {
  if (name.empty()) return "@";
  std::string key = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') key += '\\';
    key += c;
  }
  return key + '"';
}

// A backslash before any other character is kept, as hand-written files
// may have it.
std::optional<std::string> decode_name(std::string_view key) {
  if (key == "@") return std::string();
  if (key.size() < 2 || key.front() != '"' || key.back() != '"') return std::nullopt;
  std::string_view quoted = key.substr(1, key.size() - 2);
  std::string name;
  for (size_t i = 0; i < quoted.size(); ++i) {
    bool escape = quoted[i] == '\\' && i + 1 < quoted.size() && (quoted[i + 1] == '"' || quoted[i + 1] == '\\');
    if (escape) ++i;
    name += quoted[i];
  }
  return name;
}

// A string that can stand between quotes on one line: one terminating NUL
// and no CR, LF or NUL before it. Blanks at its ends are safe inside quotes.
bool is_plain_string(const std::vector<uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  return std::none_of(data.begin(), data.end() - 1, [](uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

std::string hex_list(const std::vector<uint8_t>& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(data.size() * 3);
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) out += ',';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xF];
  }
  return out;
}

std::string encode_data(uint32_t type, const std::vector<uint8_t>& data) {
  if (type == kString && is_plain_string(data)) {
    return "\"" + std::string(data.begin(), data.end() - 1) + "\"";
  }
  char head[32];
  if (type == kDWord && data.size() == 4) {
    uint32_t word = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    std::snprintf(head, sizeof head, "dword:%08X", word);
    return head;
  }
  if (type == kBinary) return "hex:" + hex_list(data);
  std::snprintf(head, sizeof head, "hex(%x):", type);
  return head + hex_list(data);
}

int hex_digit(char c) {
  c = ascii_lower(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<uint32_t> parse_hex_number(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t number = 0;
  for (char c : text) {
    int digit = hex_digit(c);
    if (digit < 0) return std::nullopt;
    number = number << 4 | static_cast<uint32_t>(digit);
  }
  return number;
}

// "AA,BB,..." (blanks around the bytes allowed); empty text is no bytes.
std::optional<std::vector<uint8_t>> parse_hex_list(std::string_view text) {
  std::vector<uint8_t> bytes;
  if (text.empty()) return bytes;
  bytes.reserve(text.size() / 3 + 1);
  for (;;) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    while (!item.empty() && is_blank(item.front())) item.remove_prefix(1);
    while (!item.empty() && is_blank(item.back())) item.remove_suffix(1);
    if (item.size() > 2) return std::nullopt;
    auto byte = parse_hex_number(item);
    if (!byte) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(*byte));
    if (comma == text.npos) return bytes;
    text.remove_prefix(comma + 1);
  }
}

std::optional<Value> decode_data(std::string_view text) {
  Value value;
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  } else if (starts_with_name(text, "dword:")) {
    auto word = parse_hex_number(text.substr(6));
    if (!word) return std::nullopt;
    value.type = kDWord;
    value.data = {static_cast<uint8_t>(*word), static_cast<uint8_t>(*word >> 8), static_cast<uint8_t>(*word >> 16),
                  static_cast<uint8_t>(*word >> 24)};
    return value;
  } else if (starts_with_name(text, "hex:") || starts_with_name(text, "hex(")) {
    size_t colon = text.find(':');
    if (colon == text.npos) return std::nullopt;
    value.type = kBinary;
    if (text[3] == '(') {
      if (colon < 5 || text[colon - 1] != ')') return std::nullopt;
      auto type = parse_hex_number(text.substr(4, colon - 5));
      if (!type) return std::nullopt;
      value.type = *type;
    }
    auto bytes = parse_hex_list(text.substr(colon + 1));
    if (!bytes) return std::nullopt;
    value.data = std::move(*bytes);
    return value;
  }
  // A quoted string, or text written by hand without quotes.
  value.type = kString;
  value.data.assign(text.begin(), text.end());
  value.data.push_back(0);
  return value;
}

struct StoredValue {
  std::string key;  // the INI key that holds it
  Value value;
};

std::vector<StoredValue> values_of(const IniDocument& doc, std::string_view section) {
  std::vector<StoredValue> values;
  for (auto& entry : doc.entries(section)) {
    auto name = decode_name(entry.key);
    if (!name) continue;
    auto value = decode_data(entry.value);
    if (!value) continue;
    value->name = std::move(*name);
    values.push_back({std::move(entry.key), std::move(*value)});
  }
  return values;
}

std::optional<StoredValue> find_value(const IniDocument& doc, std::string_view section, std::string_view name) {
  for (auto& stored : values_of(doc, section)) {
    if (stored.value.name == name) return std::move(stored);
  }
  return std::nullopt;
}

// ---- HKEY_USERS itself: one hive file per user ----

std::optional<std::string> user_key_spelling(const std::string& hive_file) {
  Hive hive;
  if (hive.load(hive_file, false) != 0) return std::nullopt;
  std::string prefix = std::string(root_name(Root::Users)) + "\\";
  for (const auto& section : hive.doc.section_names()) {
    if (!starts_with_name(section, prefix)) continue;
    std::string_view rest = std::string_view(section).substr(prefix.size());
    std::string_view user = rest.substr(0, rest.find('\\'));
    if (!user.empty()) return std::string(user);
  }
  return std::nullopt;
}

std::vector<std::string> user_hive_files() {
  std::vector<std::string> files;
  std::string folder = users_folder();
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return files;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() > kHiveSuffix.size() && name.ends_with(kHiveSuffix)) files.push_back(folder + "/" + entry->d_name);
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

uint32_t enum_user(uint32_t index, std::string& name) {
  uint32_t seen = 0;
  for (const auto& file : user_hive_files()) {
    auto user = user_key_spelling(file);
    if (!user) continue;
    if (seen++ == index) {
      name = std::move(*user);
      return 0;
    }
  }
  return kErrorNoMoreItems;
}

// Runs `body` and turns an allocation failure into error 8.
template <class Body>
uint32_t guarded(Body body) {
  try {
    return body();
  } catch (const std::exception&) {
    return kErrorNotEnoughMemory;
  }
}

}  // namespace

const char* root_name(Root root) {
  switch (static_cast<uint32_t>(root)) {
    case 0x80000000u:
      return "HKEY_CLASSES_ROOT";
    case 0x80000001u:
      return "HKEY_CURRENT_USER";
    case 0x80000002u:
      return "HKEY_LOCAL_MACHINE";
    case 0x80000003u:
      return "HKEY_USERS";
    case 0x80000005u:
      return "HKEY_CURRENT_CONFIG";
    case 0x80000006u:
      return "HKEY_DYN_DATA";
    default:
      return "";
  }
}

std::string hive_file(Root root, std::string_view path) {
  try {
    KeyPath key;
    if (parse_key_path(root, path, key) != 0) return {};
    return key.hive;
  } catch (const std::exception&) {
    return {};
  }
}

uint32_t create_key(Root root, std::string_view path) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.is_root()) return 0;
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, true)) return rc;
    if (stored_key(hive.doc, key.section)) return 0;
    ensure_key(hive.doc, key);
    return hive.save();
  });
}

uint32_t open_key(Root root, std::string_view path) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.is_root()) return 0;
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, false)) return rc;
    return stored_key(hive.doc, key.section) ? 0u : static_cast<uint32_t>(kErrorFileNotFound);
  });
}

uint32_t query_value(Root root, std::string_view path, std::string_view name, Value& out) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.hive.empty()) return kErrorFileNotFound;
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, false)) return rc;
    auto section = existing_key(hive.doc, key);
    if (!section) return kErrorFileNotFound;
    auto stored = find_value(hive.doc, *section, name);
    if (!stored) return kErrorFileNotFound;
    out = std::move(stored->value);
    return 0;
  });
}

uint32_t set_value(Root root, std::string_view path, std::string_view name, uint32_t type, const void* data,
                   size_t size) {
  return guarded([&]() -> uint32_t {
    if (!valid_value_name(name) || (data == nullptr && size > 0)) return kErrorInvalidParameter;
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.hive.empty()) return kErrorAccessDenied;  // HKEY_USERS holds no values of its own
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> content(bytes, bytes + size);
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, true)) return rc;
    std::string section = ensure_key(hive.doc, key);
    auto stored = find_value(hive.doc, section, name);
    std::string ini_key = stored ? stored->key : encode_name(name);
    if (!hive.doc.set(section, ini_key, encode_data(type, content))) return kErrorInvalidParameter;
    return hive.save();
  });
}

uint32_t set_string(Root root, std::string_view path, std::string_view name, std::string_view text) {
  return guarded([&]() -> uint32_t {
    std::string data(text);
    return set_value(root, path, name, kString, data.c_str(), data.size() + 1);
  });
}

uint32_t set_dword(Root root, std::string_view path, std::string_view name, uint32_t word) {
  const uint8_t data[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                           static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
  return set_value(root, path, name, kDWord, data, sizeof data);
}

uint32_t delete_value(Root root, std::string_view path, std::string_view name) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.hive.empty()) return kErrorFileNotFound;
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, true)) return rc;
    auto section = existing_key(hive.doc, key);
    if (!section) return kErrorFileNotFound;
    bool found = false;
    // Both spellings of the unnamed value (@ and "") go.
    for (const auto& stored : values_of(hive.doc, *section)) {
      if (stored.value.name != name) continue;
      hive.doc.erase_key(*section, stored.key);
      found = true;
    }
    return found ? hive.save() : static_cast<uint32_t>(kErrorFileNotFound);
  });
}

uint32_t enum_value(Root root, std::string_view path, uint32_t index, Value& out) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.hive.empty()) return kErrorNoMoreItems;
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, false)) return rc;
    auto section = existing_key(hive.doc, key);
    if (!section) return kErrorFileNotFound;
    auto values = values_of(hive.doc, *section);
    if (index >= values.size()) return kErrorNoMoreItems;
    out = std::move(values[index].value);
    return 0;
  });
}

uint32_t enum_key(Root root, std::string_view path, uint32_t index, std::string& name) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.hive.empty()) return enum_user(index, name);
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, false)) return rc;
    auto section = existing_key(hive.doc, key);
    if (!section) return kErrorFileNotFound;
    auto names = subkeys(hive.doc, *section);
    if (index >= names.size()) return kErrorNoMoreItems;
    name = std::move(names[index]);
    return 0;
  });
}

uint32_t delete_key(Root root, std::string_view path) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.is_root()) return kErrorAccessDenied;
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, true)) return rc;
    auto section = stored_key(hive.doc, key.section);
    if (!section) return kErrorFileNotFound;
    if (!subkeys(hive.doc, *section).empty()) return kErrorAccessDenied;
    hive.doc.erase_section(*section);
    return hive.save();
  });
}

uint32_t delete_tree(Root root, std::string_view path) {
  return guarded([&]() -> uint32_t {
    KeyPath key;
    if (uint32_t rc = parse_key_path(root, path, key)) return rc;
    if (key.hive.empty()) return kErrorAccessDenied;
    Hive hive;
    if (uint32_t rc = hive.load(key.hive, true)) return rc;
    auto section = existing_key(hive.doc, key);
    if (!section) return kErrorFileNotFound;
    erase_tree(hive.doc, *section);
    return hive.save();
  });
}

uint32_t flush(Root root) { return known_root(root) ? 0u : static_cast<uint32_t>(kErrorInvalidHandle); }

}  // namespace zyp::platform::reg
