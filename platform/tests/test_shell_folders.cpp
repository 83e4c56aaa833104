// The shell folders: the registry's values first, else the desktop's own
// folders as xdg-user-dirs and the XDG variables name them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/registry.h"
#include "platform/shell_folders.h"
#include "testsupport/test_env.h"

namespace {

using namespace zyp::platform;

constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

TEST(ShellFolders, RegistryValuesWinOverTheDesktopsOwnFolders) {
  const std::string home = zyp::testing::make_temp_folder("home");
  const std::string config = home + "/config";
  ASSERT_TRUE(make_folders(config));
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  struct Case {
    const char* name;
    const char* user_dirs;  // null: no user-dirs.dirs
    std::string desktop;
  } cases[] = {
      {"no file", nullptr, home + "/Desktop"},
      {"below home", "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Docs\"\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\n", home + "/Bureau"},
      {"absolute", "XDG_DESKTOP_DIR=\"/srv/desk\"\n", "/srv/desk"},
      {"unusable value", "XDG_DESKTOP_DIR=\"relative\"\n", home + "/Desktop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.user_dirs) {
      ASSERT_TRUE(write_file_atomically(config + "/user-dirs.dirs", c.user_dirs));
    } else {
      ::unlink((config + "/user-dirs.dirs").c_str());
    }
    EXPECT_EQ(desktop_folder(), c.desktop);
  }
  EXPECT_EQ(start_menu_folder(), home + "/.local/share/applications");
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  EXPECT_EQ(start_menu_folder(), home + "/data/applications");

  ASSERT_EQ(reg::set_string(reg::Root::CurrentUser, kShellFolders, "Desktop", "/reg/desk"), 0u);
  ASSERT_EQ(reg::set_string(reg::Root::CurrentUser, kShellFolders, "Start Menu", "/reg/menu"), 0u);
  EXPECT_EQ(desktop_folder(), "/reg/desk");
  EXPECT_EQ(start_menu_folder(), "/reg/menu");
}

}  // namespace
