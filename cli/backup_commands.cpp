// zyp keys backup and zyp keys restore: a copy of the key store file, taken
// whole, and a saved copy put back in its place.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "backup/store_copy.h"
#include "cli/commands.h"
#include "cli/provider_lists.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "cli/terminal_input.h"
#include "platform/files.h"
#include "zyp/zypclient.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

namespace zyp::cli {
namespace {

constexpr int kInstalledStore = 0;
constexpr int kKeyDiskStore = 1;
constexpr int kSmartCard = 2;
constexpr int kPathSize = 260;

// The store of the primary token; a smart card has none.
std::string primary_store(std::string_view what) {
  int kind = ZYPGetPrimaryToken();
  if (kind == kInstalledStore) return backup::installed_store_path();
  if (kind == kKeyDiskStore) {
    auto path = backup::key_disk_store_path();
    if (!path) fail(what, "no key-disk folder is configured (machine setting \"Drives\" value \"A\")");
    return *path;
  }
  fail(what, "the primary token keeps its keys on a smart card, not in a key store file");
}

// The folder of the "KeyBackupPath" setting, as the backup dialogs propose it.
std::string backup_folder_setting() {
  char folder[kPathSize] = {};
  ZYPGetUSProfileString("General", "KeyBackupPath", "", folder, sizeof folder);
  if (!folder[0])
    ZYPGetProfileString("General", "KeyBackupPath", ZYPGetPrimaryToken() == kInstalledStore ? "A:\\" : "C:\\", folder,
                        sizeof folder);
  return folder;
}

bool confirmed(const Invocation& invocation, const std::string& question, std::string_view needs) {
  if (invocation.has("--yes")) return true;
  auto answer = confirm_on_terminal(question);
  if (!answer) throw UsageError(std::string(needs) + " needs a confirmation: add --yes");
  return *answer;
}

void back_up_card(std::string_view what) {
  ensure_server(what);
  if (ZYPCIPCloneCard(kSmartCard) == 0) fail(what, "the smart-card library (libzypcard.so) is not installed");
  std::printf("smart card copy done\n");
}

}  // namespace

int run_keys_backup(const Invocation& invocation) {
  std::string what = "back up the key store";
  if (ZYPGetPrimaryToken() == kSmartCard) {
    back_up_card(what);
    return kExitOk;
  }
  std::string source = primary_store(what);
  std::string chosen = invocation.operands.empty() ? backup_folder_setting() : invocation.operands[0];
  if (!platform::is_folder(backup::folder_path(chosen)))
    fail(what, "the folder " + chosen + " does not exist (A:\\ names the key-disk folder of the machine setting "
               "\"Drives\" value \"A\", C:\\ the home folder)");
  std::string target = backup::store_in_folder(chosen);
  if (backup::same_path(source, target)) fail(what, "the backup would be the key store itself; choose another folder");
  backup::BackupResult result = backup::write_backup(source, target, false);
  if (result == backup::BackupResult::target_exists) {
    if (!confirmed(invocation, target + " exists. Replace it?", "replacing a backup")) fail(what, "not confirmed");
    result = backup::write_backup(source, target, true);
  }
  if (result != backup::BackupResult::written)
    fail(what, "cannot copy " + source + " to " + target + ": " + std::strerror(errno));
  std::printf("key store saved to %s\n", target.c_str());
  return kExitOk;
}

int run_keys_restore(const Invocation& invocation) {
  std::string what = "restore the key store";
  std::string target = primary_store(what);
  std::string source = backup::store_in_folder(invocation.operands.at(0));
  struct stat info {};
  if (::stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    fail(what, "no key store in " + invocation.operands[0] + " (" + source + " is missing); nothing was changed");
  if (!confirmed(invocation, "Replace the key store by " + source + "? Keys made since that backup are lost.",
                 "restoring the key store"))
    fail(what, "not confirmed");

  // The token keeps its open store in memory: the session closes first, so
  // that nothing writes the old store back over the restored one.
  auto token = static_cast<uint32_t>(ZYPGetPrimaryToken());
  bool was_logged_in = server_reachable() && ZYPGetSessionState(static_cast<int>(token)) == 0;
  if (was_logged_in && ZYPCloseTokenSession() != 0)
    fail(what, "the session cannot be closed while an operation runs; try again when it has finished");

  backup::RestoreResult result = backup::restore_store(source, target);
  std::string kept = target + backup::kSafetySuffix;
  if (result != backup::RestoreResult::restored)
    fail(what, "cannot copy " + source + " in place of " + target + "; the previous key store is in place");
  std::printf("key store restored from %s; the previous one is kept as %s\n", source.c_str(), kept.c_str());
  if (was_logged_in) {
    if (ZYPCIPOpenSession(token) == 1) std::printf("token %u: logged in again\n", token);
    else std::printf("token %u: not logged in again; run `%s`\n", token, login_command(token).c_str());
  }
  return kExitOk;
}

}  // namespace zyp::cli
