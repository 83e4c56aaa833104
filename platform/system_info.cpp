#include "platform/system_info.h"

#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

namespace zyp::platform {
namespace {

constexpr int kHighestNiceStep = 5;

struct LanguageCode {
  std::string_view language;  // ISO 639 code as in locale names
  std::string_view code;
};

constexpr LanguageCode kLanguageCodes[] = {
    {"en", "ENU"}, {"fr", "FRA"}, {"de", "DEU"}, {"es", "ESP"}, {"it", "ITA"}, {"nl", "NLD"},
    {"sv", "SVE"}, {"da", "DAN"}, {"fi", "FIN"}, {"nb", "NOR"}, {"nn", "NOR"}, {"no", "NOR"},
    {"ja", "JPN"}, {"ko", "KOR"}, {"ru", "RUS"}, {"pl", "PLK"}, {"cs", "CSY"}, {"hu", "HUN"},
};

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<std::string> valid_code(const std::string& text) {
  if (text.size() != 3 || !std::all_of(text.begin(), text.end(), is_ascii_letter)) return std::nullopt;
  std::string code = text;
  for (char& c : code) c = upper(c);
  return code;
}

std::optional<std::string> user_name_from_passwd() {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    int err = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (err == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (err != 0 || !found || !found->pw_name || !*found->pw_name) return std::nullopt;
    return std::string(found->pw_name);
  }
}

// The nice value the calling thread had before it was raised.
thread_local std::optional<int> t_normal_nice;

// Linux keeps the nice value per thread, and PRIO_PROCESS with id 0 names the
// calling thread, so no thread id needs to be looked up.
int own_nice() { return ::getpriority(PRIO_PROCESS, 0); }
void set_own_nice(int nice) { ::setpriority(PRIO_PROCESS, 0, nice); }

}  // namespace

std::string current_user_name() {
  try {
    if (auto name = user_name_from_passwd()) return *name;
    for (const char* variable : {"USER", "LOGNAME"}) {
      std::string name = env_or_empty(variable);
      if (!name.empty()) return name;
    }
    return std::to_string(::geteuid());
  } catch (...) {
    return std::string();
  }
}

std::string language_code_for_locale(std::string_view locale) {
  size_t language_end = locale.find_first_of("_.@");
  std::string language(locale.substr(0, language_end));
  for (char& c : language) c = lower(c);
  std::string country;
  if (language_end != std::string_view::npos && locale[language_end] == '_') {
    std::string_view rest = locale.substr(language_end + 1);
    country = rest.substr(0, rest.find_first_of(".@"));
    for (char& c : country) c = upper(c);
  }
  if (language == "pt") return country == "BR" ? "PTB" : "PTG";
  if (language == "zh") return country == "TW" || country == "HK" || country == "MO" ? "CHT" : "CHS";
  for (const LanguageCode& entry : kLanguageCodes)
    if (language == entry.language) return std::string(entry.code);
  return "ENU";
}

std::string language_code() {
  try {
    if (auto code = valid_code(env_or_empty("ZYP_LANG"))) return *code;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      std::string locale = env_or_empty(variable);
      if (!locale.empty()) return language_code_for_locale(locale);
    }
    return "ENU";
  } catch (...) {
    return "ENU";
  }
}

void set_thread_priority_highest() {
  if (!t_normal_nice) {
    errno = 0;
    int nice = own_nice();
    if (nice == -1 && errno != 0) return;
    t_normal_nice = nice;
  }
  set_own_nice(std::max(*t_normal_nice - kHighestNiceStep, -20));
}

void set_thread_priority_normal() {
  if (!t_normal_nice) return;
  set_own_nice(*t_normal_nice);
  t_normal_nice.reset();
}

void set_thread_priority_below_normal() {
  errno = 0;
  int nice = own_nice();
  if (nice == -1 && errno != 0) return;
  set_own_nice(std::min(nice + 1, 19));
}

}  // namespace zyp::platform
