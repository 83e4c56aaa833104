// ZYPRegExport and ZYPRegImport: registry subtrees to and from INI-layout
// text files ("[ROOT\path]" sections, "name"="text", hex: and dword: lines).
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export_guard.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/registry.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

namespace reg = platform::reg;

constexpr size_t kLongestName = 49;  // names live in 50-byte buffers
constexpr size_t kLargestData = 4096;
constexpr std::string_view kHexPrefix = "hex:";
constexpr std::string_view kWordPrefix = "dword:";
constexpr std::string_view kUnnamedString = "@";

// In the order import tries them.
constexpr reg::Root kRoots[] = {
    reg::Root::ClassesRoot,
    reg::Root::CurrentUser,
    reg::Root::LocalMachine,
    reg::Root::Users,
    static_cast<reg::Root>(0x80000005u),  // HKEY_CURRENT_CONFIG
    static_cast<reg::Root>(0x80000006u),  // HKEY_DYN_DATA
};

// ---- export ------------------------------------------------------------

std::string text_of(const reg::Value& value) {
  std::string text(value.data.begin(), value.data.end());
  return text.substr(0, text.find('\0'));
}

std::string hex_text(const std::vector<uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(kHexPrefix);
  text.reserve(kHexPrefix.size() + 3 * data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) text += ',';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

std::string word_text(const std::vector<uint8_t>& data) {
  uint32_t word = 0;
  for (size_t i = 0; i < data.size() && i < 4; ++i) word |= uint32_t{data[i]} << (8 * i);
  char text[32];
  std::snprintf(text, sizeof text, "dword:%08X", word);
  return text;
}

// The line of one value, or false for a type that is not exported.
bool value_line(const reg::Value& value, std::string& name, std::string& text) {
  std::string quoted_name = "\"" + value.name + "\"";
  switch (value.type) {
    case reg::kString:
      name = value.name.empty() ? std::string(kUnnamedString) : quoted_name;
      text = "\"" + text_of(value) + "\"";
      return true;
    case reg::kBinary:
      name = quoted_name;
      text = hex_text(value.data);
      return true;
    case reg::kDWord:
      name = quoted_name;
      text = word_text(value.data);
      return true;
    default:
      return false;
  }
}

void export_values(reg::Root root, const std::string& path, const std::string& section, platform::IniDocument& doc) {
  reg::Value value;
  for (uint32_t index = 0; reg::enum_value(root, path, index, value) == 0; ++index) {
    if (value.name.size() > kLongestName || value.data.size() > kLargestData) break;
    std::string name, text;
    // A value that cannot stand on one line (a line break in its text) is left out.
    if (value_line(value, name, text)) doc.set(section, name, text);
  }
}

void export_key(reg::Root root, const std::string& root_name, const std::string& path, platform::IniDocument& doc) {
  export_values(root, path, root_name + "\\" + path, doc);
  std::string subkey;
  for (uint32_t index = 0; reg::enum_key(root, path, index, subkey) == 0; ++index) {
    if (subkey.size() > kLongestName) break;
    export_key(root, root_name, path.empty() ? subkey : path + "\\" + subkey, doc);
  }
}

int export_tree(uint32_t root_handle, const std::string& path, const std::string& file) {
  auto root = static_cast<reg::Root>(root_handle);
  if (reg::open_key(root, path) != 0) return 1;
  auto doc = platform::read_ini_file(file);
  if (!doc) return 1;
  export_key(root, reg::root_name(root), path, *doc);
  return platform::write_ini_file(file, *doc) ? 0 : 1;
}

// ---- import ------------------------------------------------------------

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "hex:" bytes: pairs of digits, each followed by any characters below '0'
// (commas, blanks). A lone digit makes a byte of its own; reading stops at
// the first character that is neither, and never goes past the text.
std::vector<uint8_t> parse_hex_bytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
  while (pos < text.size()) {
    int high = hex_digit(text[pos]);
    if (high < 0) break;
    ++pos;
    int value = high;
    if (pos < text.size() && hex_digit(text[pos]) >= 0) value = high * 16 + hex_digit(text[pos++]);
    bytes.push_back(static_cast<uint8_t>(value));
    while (pos < text.size() && text[pos] < '0') ++pos;
  }
  return bytes;
}

// "dword:" word: a hexadecimal number after optional blanks and "0x"; the
// low 32 bits of a longer one; 0 when there is none.
uint32_t parse_word(std::string_view text) {
  size_t pos = text.find_first_not_of(" \t");
  if (pos == std::string_view::npos) return 0;
  if (text.substr(pos, 2) == "0x" || text.substr(pos, 2) == "0X") pos += 2;
  uint32_t word = 0;
  for (; pos < text.size() && hex_digit(text[pos]) >= 0; ++pos) word = word << 4 | static_cast<uint32_t>(hex_digit(text[pos]));
  return word;
}

void set_string(reg::Root root, const std::string& path, std::string_view name, std::string_view text) {
  std::string data(text);
  data += '\0';
  reg::set_value(root, path, name, reg::kString, data.data(), data.size());
}

void import_value(reg::Root root, const std::string& path, const std::string& key, std::string_view text) {
  if (key == kUnnamedString) return set_string(root, path, "", text);
  if (key.size() < 2 || key.front() != '"' || key.back() != '"') return;
  std::string_view name = std::string_view(key).substr(1, key.size() - 2);
  if (starts_with(text, kHexPrefix)) {
    std::vector<uint8_t> bytes = parse_hex_bytes(text.substr(kHexPrefix.size()));
    reg::set_value(root, path, name, reg::kBinary, bytes.data(), bytes.size());
  } else if (starts_with(text, kWordPrefix)) {
    reg::set_dword(root, path, name, parse_word(text.substr(kWordPrefix.size())));
  } else {
    set_string(root, path, name, text);
  }
}

// The root whose name begins the section, followed by '\' or nothing; the
// key path is what follows the '\'.
bool split_section(const std::string& section, reg::Root& root, std::string& path) {
  for (reg::Root candidate : kRoots) {
    std::string_view name = reg::root_name(candidate);
    if (!starts_with(section, name)) continue;
    if (section.size() > name.size() && section[name.size()] != '\\') continue;
    root = candidate;
    path = section.size() > name.size() ? section.substr(name.size() + 1) : std::string();
    return true;
  }
  return false;
}

void import_section(const platform::IniDocument& doc, const std::string& section) {
  reg::Root root;
  std::string path;
  if (!split_section(section, root, path)) return;  // an unknown root
  if (reg::create_key(root, path) != 0) return;
  for (const auto& entry : doc.entries(section))
    import_value(root, path, entry.key, platform::unquote_profile_value(entry.value));
}

int import_file(const std::string& file) {
  if (!platform::file_exists(file) || platform::is_folder(file)) return 1;
  auto doc = platform::read_ini_file(file);
  if (!doc) return 1;
  for (const std::string& section : doc->section_names()) import_section(*doc, section);
  return 0;
}

}  // namespace
}  // namespace zyp::tools

ZYP_API int ZYPRegExport(uint32_t root, const char* path, const char* file) {
  if (!path || !file) return 1;
  return zyp::platform::guarded(1, [&] { return zyp::tools::export_tree(root, path, file); });
}

ZYP_API int ZYPRegImport(const char* file) {
  if (!file) return 1;
  return zyp::platform::guarded(1, [&] { return zyp::tools::import_file(file); });
}
