// zyp settings show|set and zyp exclude list|add|remove: the file library's
// settings, the hook's automatic settings and the user's exclusion list.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "cli/commands.h"
#include "cli/provider_lists.h"
#include "cli/results.h"
#include "zyp/zypfile.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

namespace zyp::cli {
namespace {

constexpr uint32_t kFlagMost = 1;
// More passes than the most thorough overwriting schemes use only cost time.
constexpr uint32_t kMostErasePasses = 35;
constexpr uint32_t kMostMinutes = UINT32_MAX / 60;

struct Setting {
  std::string_view name;
  uint32_t most;
  uint32_t (*get)();
  int (*set)(uint32_t);
  std::string_view meaning;
};

const Setting kSettings[] = {
    {"SecureEraseCycle", kMostErasePasses, ZYPGetSecureEraseCycle, ZYPSetSecureEraseCycle,
     "passes that overwrite a file before it is deleted (0: only deleted)"},
    {"ActiveCompression", kFlagMost, ZYPGetCompressionMode, ZYPSetCompressionMode,
     "1: compress files before encrypting them"},
    {"ProgressBar", kFlagMost, ZYPGetProgressState, ZYPSetProgressState, "1: show progress windows"},
    {"CheckTokenPresence", kFlagMost, ZYPGetCheckPresence, ZYPSetCheckPresence,
     "1: watch that the token stays present"},
    {"PwdKeepAlive", kFlagMost, ZYPGetInactivity, ZYPSetInactivity,
     "1: the screen saver locks the desktop"},
    {"PwdKeepAliveMinutes", kMostMinutes, ZYPGetInactivityTime, ZYPSetInactivityTime,
     "minutes of inactivity before the screen saver starts"},
    {"AutoSecureErase", kFlagMost, ZYPGetAutoSecureErase, ZYPSetAutoSecureErase,
     "1: the hook erases files securely (with SecureEraseCycle passes)"},
    {"AutoCheckSign", kFlagMost, ZYPGetAutoCheckSign, ZYPSetAutoCheckSign, "1: the hook checks signatures by itself"},
    {"AutoDecrypt", kFlagMost, ZYPGetAutoDecrypt, ZYPSetAutoDecrypt,
     "1: the hook decrypts files when they are opened (machine setting)"},
    {"OpenSessionOnStart", kFlagMost, ZYPGetAutoOpenSession, ZYPSetAutoOpenSession,
     "1: open the token's session when the suite starts"},
};

constexpr char kExclusionSection[] = "NoEncryption";
// The hook device's path fields hold 255 characters.
constexpr size_t kMostPathLength = 255;
constexpr uint32_t kDefaultExclusion = 1;

std::string setting_names() {
  std::string names;
  for (const Setting& setting : kSettings) names += (names.empty() ? "" : ", ") + std::string(setting.name);
  return names;
}

const Setting& find_setting(std::string_view name) {
  for (const Setting& setting : kSettings)
    if (setting.name == name) return setting;
  throw UsageError("unknown setting \"" + printable(name) + "\", not one of " + setting_names());
}

std::optional<uint32_t> parse_number(std::string_view text) {
  uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

uint32_t checked_value(const Setting& setting, std::string_view text) {
  auto value = parse_number(text);
  if (!value || *value > setting.most)
    throw UsageError("the value of " + std::string(setting.name) + " is a whole number from 0 to " +
                     std::to_string(setting.most) + ", not \"" + printable(text) + "\"");
  return *value;
}

// An absolute path without "." or ".." parts or a trailing '/': the form the
// hook's walk up the folders compares with.
std::string exclusion_path(const std::string& given) {
  if (given.empty()) throw UsageError("the path is empty");
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(given, error);
  if (error) fail("make \"" + printable(given) + "\" absolute", error.message());
  std::string path = absolute.lexically_normal().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.size() > kMostPathLength)
    throw UsageError("the path is longer than " + std::to_string(kMostPathLength) + " characters");
  if (path.find_first_of("\"\n\r") != std::string::npos)
    throw UsageError("the path holds a quotation mark or a line break");
  return path;
}

struct Exclusion {
  std::string path;
  uint32_t value;
};

std::vector<Exclusion> exclusions() {
  std::vector<Exclusion> list;
  for (uint32_t index = 0;; ++index) {
    char name[kMostPathLength + 1] = {};
    uint32_t value = 0;
    if (!ZYPEnumUSProfileValue(kExclusionSection, index, name, sizeof name, &value, sizeof value)) break;
    list.push_back({name, value});
  }
  return list;
}

std::optional<uint32_t> exclusion_of(const std::string& path) {
  for (const Exclusion& exclusion : exclusions())
    if (exclusion.path == path) return exclusion.value;
  return std::nullopt;
}

std::string exclusion_meaning(uint32_t value) {
  if (value == 0) return "may be encrypted, with everything below it";
  if (value == 1) return "not encrypted, nor anything below it";
  return "not encrypted itself; its subfolders may be";
}

// The hook device keeps its own copy of the list.
void pass_list_to_hook() {
  if (ZYPHOOKRefreshRestriction() == ZYPHOOK_NO_DEVICE)
    std::fprintf(stderr, "zyp: the file-system hook is not available; it reads the list when it is\n");
}

}  // namespace

int run_settings_show(const Invocation& invocation) {
  const Setting* only = invocation.operands.empty() ? nullptr : &find_setting(invocation.operands[0]);
  std::printf("name\tvalue\tmeaning\n");
  for (const Setting& setting : kSettings) {
    if (only && only != &setting) continue;
    std::printf("%.*s\t%u\t%.*s\n", static_cast<int>(setting.name.size()), setting.name.data(), setting.get(),
                static_cast<int>(setting.meaning.size()), setting.meaning.data());
  }
  return kExitOk;
}

int run_settings_set(const Invocation& invocation) {
  const Setting& setting = find_setting(invocation.operands.at(0));
  uint32_t value = checked_value(setting, invocation.operands.at(1));
  setting.set(value);
  if (setting.get() != value)
    fail("set " + std::string(setting.name), "it reads " + std::to_string(setting.get()) +
                                                 " after the change; check that the settings folder "
                                                 "(ZYP_USER_DIR, ZYP_MACHINE_DIR) is writable");
  std::printf("%.*s\t%u\n", static_cast<int>(setting.name.size()), setting.name.data(), value);
  return kExitOk;
}

int run_exclude_list(const Invocation&) {
  std::printf("path\tvalue\tmeaning\n");
  for (const Exclusion& exclusion : exclusions())
    std::printf("%s\t%u\t%s\n", printable(exclusion.path).c_str(), exclusion.value,
                exclusion_meaning(exclusion.value).c_str());
  return kExitOk;
}

int run_exclude_add(const Invocation& invocation) {
  std::string path = exclusion_path(invocation.operands.at(0));
  uint32_t value = kDefaultExclusion;
  if (const std::string* text = invocation.value("--value")) {
    auto parsed = parse_number(*text);
    if (!parsed) throw UsageError("--value takes a whole number from 0 to 4294967295, not \"" + printable(*text) + "\"");
    value = *parsed;
  }
  if (!ZYPWriteUSProfileDWord(kExclusionSection, path.c_str(), value) || exclusion_of(path) != value)
    fail("add \"" + printable(path) + "\" to the exclusion list",
         "the user's settings cannot be written; check that ZYP_USER_DIR is writable");
  pass_list_to_hook();
  std::printf("%s\t%u\t%s\n", printable(path).c_str(), value, exclusion_meaning(value).c_str());
  return kExitOk;
}

int run_exclude_remove(const Invocation& invocation) {
  std::string path = exclusion_path(invocation.operands.at(0));
  std::string what = "remove \"" + printable(path) + "\" from the exclusion list";
  if (!exclusion_of(path)) fail(what, "it is not in the list (see `zyp exclude list`)");
  if (!ZYPDelUSValue(kExclusionSection, path.c_str()) || exclusion_of(path))
    fail(what, "the user's settings cannot be written; check that ZYP_USER_DIR is writable");
  pass_list_to_hook();
  std::printf("removed %s\n", printable(path).c_str());
  return kExitOk;
}

}  // namespace zyp::cli
