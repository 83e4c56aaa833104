#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/system_info.h"

namespace zyp::platform {
namespace {

TEST(LanguageCode, LocaleNamesMapToWindowsCodes) {
  struct Case {
    const char* locale;
    const char* code;
  };
  const Case cases[] = {
      {"en_US.UTF-8", "ENU"}, {"en_GB", "ENU"},       {"fr_FR.UTF-8", "FRA"},   {"fr_CA.UTF-8@euro", "FRA"},
      {"de_DE@euro", "DEU"},  {"de", "DEU"},          {"es_ES.UTF-8", "ESP"},   {"it_IT", "ITA"},
      {"nl_NL", "NLD"},       {"pt_BR.UTF-8", "PTB"}, {"pt_PT.UTF-8", "PTG"},   {"pt", "PTG"},
      {"sv_SE", "SVE"},       {"da_DK", "DAN"},       {"fi_FI", "FIN"},         {"nb_NO.UTF-8", "NOR"},
      {"no_NO", "NOR"},       {"ja_JP.eucJP", "JPN"}, {"zh_CN.GB18030", "CHS"}, {"zh_TW.Big5", "CHT"},
      {"zh_HK.UTF-8", "CHT"}, {"zh_SG", "CHS"},       {"ko_KR.UTF-8", "KOR"},   {"ru_RU.KOI8-R", "RUS"},
      {"pl_PL", "PLK"},       {"cs_CZ", "CSY"},       {"hu_HU", "HUN"},         {"C", "ENU"},
      {"C.UTF-8", "ENU"},     {"POSIX", "ENU"},       {"tlh_XX", "ENU"},        {"", "ENU"},
  };
  for (const auto& c : cases) EXPECT_EQ(language_code_for_locale(c.locale), c.code) << c.locale;
}

TEST(LanguageCode, ComesFromTheFirstSetVariable) {
  struct Case {
    const char* zyp_lang;
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* code;
  };
  const Case cases[] = {
      {"fra", "de_DE", nullptr, nullptr, "FRA"},     // ZYP_LANG wins, upper-cased
      {"FRENCH", "de_DE", nullptr, nullptr, "DEU"},  // not three letters: ignored
      {"F1A", nullptr, nullptr, "it_IT", "ITA"},     // not letters: ignored
      {nullptr, "", "sv_SE", "it_IT", "SVE"},        // an empty variable counts as unset
      {nullptr, nullptr, nullptr, "pt_BR.UTF-8", "PTB"},
      {nullptr, nullptr, nullptr, nullptr, "ENU"},
  };
  auto put = [](const char* name, const char* value) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  };
  for (const auto& c : cases) {
    put("ZYP_LANG", c.zyp_lang);
    put("LC_ALL", c.lc_all);
    put("LC_MESSAGES", c.lc_messages);
    put("LANG", c.lang);
    EXPECT_EQ(language_code(), c.code) << (c.zyp_lang ? c.zyp_lang : "-") << " " << (c.lc_all ? c.lc_all : "-");
  }
}

TEST(UserName, IsTheLoginNameOfTheEffectiveUser) {
  std::string name = current_user_name();
  EXPECT_FALSE(name.empty());
  if (const passwd* user = getpwuid(geteuid())) {
    EXPECT_EQ(name, user->pw_name);
  }
}

int thread_nice() {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

TEST(ThreadPriority, NormalRestoresTheNiceValueBeforeHighest) {
  int before = thread_nice();
  set_thread_priority_highest();
  set_thread_priority_highest();  // twice must not raise the saved value
  if (geteuid() == 0 && before > -20) {
    EXPECT_LT(thread_nice(), before);
  }
  set_thread_priority_normal();
  EXPECT_EQ(thread_nice(), before);
}

}  // namespace
}  // namespace zyp::platform
