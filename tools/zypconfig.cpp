// zypconfig: shows the suite's effective configuration (folders, profile
// values with the scope each comes from, primary token, key disk), and with
// --init-defaults writes the built-in default machine profile where values
// are missing.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dirs.h"
#include "platform/drives.h"
#include "platform/modules.h"
#include "platform/system_info.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

namespace {

constexpr uint32_t kUnset = 0x80000000u;

struct WordSetting {
  const char* name;
  uint32_t fallback;
};

// The word settings that are read user over machine, with their defaults.
constexpr WordSetting kWordSettings[] = {
    {"SecureEraseCycle", 3}, {"ActiveCompression", 0}, {"ProgressBar", 1},         {"CheckTokenPresence", 1},
    {"AutoSecureErase", 0},  {"AutoCheckSign", 0},     {"OpenSessionOnStart", 1}, {"Options", 0},
};

std::string machine_string(const char* section, const char* name, const char* fallback = "") {
  char text[260] = {};
  ZYPGetProfileString(section, name, fallback, text, sizeof text);
  return text;
}

void write_default_string(const char* section, const char* name, const std::string& text) {
  if (machine_string(section, name).empty()) ZYPWriteProfileString(section, name, text.c_str());
}

int init_defaults() {
  std::string machine = zyp::platform::machine_dir();
  std::string key_disk = machine + "/keydisk";
  if (!zyp::platform::make_folders(machine, 0700) || !zyp::platform::make_folders(key_disk, 0700)) {
    std::fprintf(stderr, "zypconfig: cannot create the machine folder %s\n", machine.c_str());
    return 1;
  }
  write_default_string("General", "InstallPath", machine);
  write_default_string("General", "SOFTTOK", "SOFTTOK.DLL");
  write_default_string("General", "AppTitle", "Quillmarsh Folder");
  write_default_string("General", "Version", "0.1.0");
  write_default_string("Drives", "A", key_disk);
  for (const WordSetting& setting : kWordSettings) {
    if (ZYPGetProfileDWord("General", setting.name, kUnset) == kUnset)
      ZYPWriteProfileDWord("General", setting.name, setting.fallback);
  }
  return 0;
}

void show(const char* label, const std::string& value) { std::printf("%-22s %s\n", label, value.c_str()); }

void show_folders() {
  std::string error;
  auto runtime = zyp::platform::runtime_dir(&error);
  show("runtime folder", runtime ? *runtime : "refused: " + error);
  show("user folder", zyp::platform::user_dir());
  show("machine folder", zyp::platform::machine_dir());
  show("temporary folder", zyp::platform::temp_dir());
  show("language", zyp::platform::language_code());
  show("user", zyp::platform::current_user_name());
}

void show_token() {
  std::string module = machine_string("General", "SOFTTOK", "SOFTTOK.DLL");
  auto file = zyp::platform::find_module(module);
  show("token module", module + " -> " + (file ? *file : zyp::platform::linux_file_name(module) + " (not found)"));
  static const char* const kTokenNames[] = {"installed key store", "key disk", "smart card"};
  int primary = ZYPGetPrimaryToken();
  show("primary token", std::to_string(primary) + " (" + kTokenNames[primary % 3] + ")" +
                            (ZYPIsPrimaryTokenRemovable() ? ", removable" : ""));
  int state = ZYPGetSessionState(-1);
  show("session state", std::to_string(state) + (state == 0 ? " (open)" : state == 1 ? " (no session)" : ""));
  auto key_disk = zyp::platform::key_disk_folder();
  std::string disk = key_disk ? *key_disk : "(not configured)";
  if (key_disk) {
    auto serial = zyp::platform::key_disk_volume_serial();
    disk += zyp::platform::key_disk_present() && serial
                ? ", present, volume serial " + zyp::platform::format_volume_serial(*serial)
                : ", absent";
  }
  show("key disk (A:)", disk);
  show("home drive (C:)", zyp::platform::system_drive_folder());
  show("install path", machine_string("General", "InstallPath", "(not set)"));
}

void show_settings() {
  for (const WordSetting& setting : kWordSettings) {
    uint32_t user = ZYPGetUSProfileDWord("General", setting.name, kUnset);
    uint32_t machine = ZYPGetProfileDWord("General", setting.name, kUnset);
    std::string text = user != kUnset      ? std::to_string(user) + " (user)"
                       : machine != kUnset ? std::to_string(machine) + " (machine)"
                                           : std::to_string(setting.fallback) + " (default)";
    show(setting.name, text);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--init-defaults") == 0) return init_defaults();
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::puts("usage: zypconfig [--init-defaults]\n"
              "Shows the effective configuration; --init-defaults writes the default machine profile.");
    return 0;
  }
  if (argc != 1) {
    std::fprintf(stderr, "zypconfig: unknown argument %s (see --help)\n", argv[1]);
    return 2;
  }
  char product[64];
  ZYPGetProductName(product, sizeof product);
  std::printf("%s: effective configuration\n", product);
  show_folders();
  show_token();
  show_settings();
  return 0;
}
