// libzypprof: the configuration store on the registry hives.
// Machine scope: HKEY_LOCAL_MACHINE\SOFTWARE\Quillmarsh\<section>;
// user scope: HKEY_CURRENT_USER\SOFTWARE\Quillmarsh\<section>.
#include "zyp/zypprof.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/export_guard.h"
#include "platform/registry.h"

namespace {

using zyp::platform::guarded;
namespace reg = zyp::platform::reg;

constexpr char kProductName[] = "Quillmarsh Folder";
constexpr char kShortProductName[] = "Quillmarsh";

enum class Scope { Machine, User };

reg::Root root_of(Scope scope) {
  return scope == Scope::Machine ? reg::Root::LocalMachine : reg::Root::CurrentUser;
}

std::string key_path(const char* section) { return std::string("SOFTWARE\\Quillmarsh\\") + section; }

const char* value_name(const char* name) { return name ? name : ""; }

bool read_value(Scope scope, const char* section, const char* name, reg::Value& value) {
  return reg::query_value(root_of(scope), key_path(section), value_name(name), value) == 0;
}

bool is_text(const reg::Value& value) {
  return value.type == reg::kString || value.type == reg::kExpandString;
}

// The text of a string value, up to its first NUL.
std::string text_of(const reg::Value& value) {
  auto end = std::find(value.data.begin(), value.data.end(), uint8_t{0});
  return std::string(value.data.begin(), end);
}

// Copies `text` into a caller's buffer, cut to fit and terminated.
int copy_text(const std::string& text, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  size_t count = std::min(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  return static_cast<int>(count);
}

int get_string(Scope scope, const char* section, const char* name, const char* default_text, char* buffer,
               int size) {
  if (!buffer || size <= 0) return 0;
  reg::Value value;
  if (section && read_value(scope, section, name, value) && is_text(value))
    return copy_text(text_of(value), buffer, size);
  return copy_text(default_text ? default_text : "", buffer, size);
}

// A word value as is; a text value read as a decimal number, as the private
// profile calls do; anything else is absent.
bool word_of(const reg::Value& value, uint32_t& word) {
  if (value.type == reg::kDWord && value.data.size() >= 4) {
    word = uint32_t{value.data[0]} | uint32_t{value.data[1]} << 8 | uint32_t{value.data[2]} << 16 |
           uint32_t{value.data[3]} << 24;
    return true;
  }
  if (is_text(value)) {
    std::string text = text_of(value);
    char* end = nullptr;
    long long number = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) return false;
    word = static_cast<uint32_t>(number);
    return true;
  }
  return false;
}

uint32_t get_word(Scope scope, const char* section, const char* name, uint32_t default_value) {
  reg::Value value;
  uint32_t word = 0;
  if (section && read_value(scope, section, name, value) && word_of(value, word)) return word;
  return default_value;
}

int get_data(Scope scope, const char* section, const char* name, const void* default_bytes, void* output,
             int length) {
  if (!output || length <= 0) return 0;
  auto* out = static_cast<uint8_t*>(output);
  reg::Value value;
  size_t stored = 0;
  bool found = section && read_value(scope, section, name, value);
  if (found) {
    stored = std::min(value.data.size(), static_cast<size_t>(length));
    std::memcpy(out, value.data.data(), stored);
  }
  if (default_bytes && stored < static_cast<size_t>(length))
    std::memcpy(out + stored, static_cast<const uint8_t*>(default_bytes) + stored, length - stored);
  return found ? 1 : 0;
}

int write_value(Scope scope, const char* section, const char* name, uint32_t type, const void* data,
                size_t size) {
  if (!section) return 0;
  return reg::set_value(root_of(scope), key_path(section), value_name(name), type, data, size) == 0 ? 1 : 0;
}

int delete_value(Scope scope, const char* section, const char* name) {
  if (!section) return 0;
  uint32_t result = reg::delete_value(root_of(scope), key_path(section), value_name(name));
  return result == 0 || result == 2 ? 1 : 0;
}

int write_string(Scope scope, const char* section, const char* name, const char* text) {
  if (!text) return delete_value(scope, section, name);
  return write_value(scope, section, name, reg::kString, text, std::strlen(text) + 1);
}

int write_word(Scope scope, const char* section, const char* name, uint32_t word) {
  uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                      static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
  return write_value(scope, section, name, reg::kDWord, bytes, sizeof bytes);
}

int write_data(Scope scope, const char* section, const char* name, const void* data, int length) {
  if ((!data && length > 0) || length < 0) return 0;
  return write_value(scope, section, name, reg::kBinary, data, static_cast<size_t>(length));
}

int enum_value(Scope scope, const char* section, uint32_t index, char* name, int name_size, void* data,
               int data_size) {
  if (!section) return 0;
  reg::Value value;
  if (reg::enum_value(root_of(scope), key_path(section), index, value) != 0) return 0;
  copy_text(value.name, name, name_size);
  if (data && data_size > 0) {
    size_t count = std::min(value.data.size(), static_cast<size_t>(data_size));
    std::memcpy(data, value.data.data(), count);
  }
  return 1;
}

}  // namespace

ZYP_API int ZYPGetProfileString(const char* section, const char* name, const char* defaultText, char* buffer,
                                int size) {
  return guarded(0, [&] { return get_string(Scope::Machine, section, name, defaultText, buffer, size); });
}

ZYP_API int ZYPGetUSProfileString(const char* section, const char* name, const char* defaultText,
                                  char* buffer, int size) {
  return guarded(0, [&] { return get_string(Scope::User, section, name, defaultText, buffer, size); });
}

ZYP_API int ZYPGetProfileInt(const char* section, const char* name, int defaultValue) {
  return guarded(defaultValue, [&] {
    return static_cast<int>(get_word(Scope::Machine, section, name, static_cast<uint32_t>(defaultValue)));
  });
}

ZYP_API int ZYPGetUSProfileInt(const char* section, const char* name, int defaultValue) {
  return guarded(defaultValue, [&] {
    return static_cast<int>(get_word(Scope::User, section, name, static_cast<uint32_t>(defaultValue)));
  });
}

ZYP_API uint32_t ZYPGetProfileDWord(const char* section, const char* name, uint32_t defaultValue) {
  return guarded(defaultValue, [&] { return get_word(Scope::Machine, section, name, defaultValue); });
}

ZYP_API uint32_t ZYPGetUSProfileDWord(const char* section, const char* name, uint32_t defaultValue) {
  return guarded(defaultValue, [&] { return get_word(Scope::User, section, name, defaultValue); });
}

ZYP_API int ZYPGetProfileData(const char* section, const char* name, const void* defaultBytes, void* output,
                              int length) {
  return guarded(0, [&] { return get_data(Scope::Machine, section, name, defaultBytes, output, length); });
}

ZYP_API int ZYPGetUSProfileData(const char* section, const char* name, const void* defaultBytes, void* output,
                                int length) {
  return guarded(0, [&] { return get_data(Scope::User, section, name, defaultBytes, output, length); });
}

ZYP_API int ZYPWriteUSProfileString(const char* section, const char* name, const char* text) {
  return guarded(0, [&] { return write_string(Scope::User, section, name, text); });
}

ZYP_API int ZYPWriteProfileString(const char* section, const char* name, const char* text) {
  return guarded(0, [&] { return write_string(Scope::Machine, section, name, text); });
}

ZYP_API int ZYPWriteUSProfileInt(const char* section, const char* name, int value) {
  return guarded(0, [&] { return write_word(Scope::User, section, name, static_cast<uint32_t>(value)); });
}

ZYP_API int ZYPWriteUSProfileDWord(const char* section, const char* name, uint32_t value) {
  return guarded(0, [&] { return write_word(Scope::User, section, name, value); });
}

ZYP_API int ZYPWriteProfileInt(const char* section, const char* name, int value) {
  return guarded(0, [&] { return write_word(Scope::Machine, section, name, static_cast<uint32_t>(value)); });
}

ZYP_API int ZYPWriteProfileDWord(const char* section, const char* name, uint32_t value) {
  return guarded(0, [&] { return write_word(Scope::Machine, section, name, value); });
}

ZYP_API int ZYPWriteProfileData(const char* section, const char* name, const void* data, int length) {
  return guarded(0, [&] { return write_data(Scope::Machine, section, name, data, length); });
}

ZYP_API int ZYPWriteUSProfileData(const char* section, const char* name, const void* data, int length) {
  return guarded(0, [&] { return write_data(Scope::User, section, name, data, length); });
}

ZYP_API int ZYPEnumProfileValue(const char* section, uint32_t index, char* name, int nameSize, void* data,
                                int dataSize) {
  return guarded(0, [&] { return enum_value(Scope::Machine, section, index, name, nameSize, data, dataSize); });
}

ZYP_API int ZYPEnumUSProfileValue(const char* section, uint32_t index, char* name, int nameSize, void* data,
                                  int dataSize) {
  return guarded(0, [&] { return enum_value(Scope::User, section, index, name, nameSize, data, dataSize); });
}

ZYP_API int ZYPDelUSValue(const char* section, const char* name) {
  return guarded(0, [&] { return delete_value(Scope::User, section, name); });
}

ZYP_API int ZYPGetProductName(char* buffer, int size) {
  return guarded(0, [&] { return copy_text(kProductName, buffer, size); });
}

ZYP_API int ZYPGetShortProductName(char* buffer, int size) {
  return guarded(0, [&] { return copy_text(kShortProductName, buffer, size); });
}
