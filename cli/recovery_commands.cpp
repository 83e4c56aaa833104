// zyp recovery create-shares and zyp recover: a recovery key whose private
// half exists only as k-of-n share files, and a file's key brought back from
// k of them.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/provider_lists.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "platform/dirs.h"
#include "platform/drives.h"
#include "platform/files.h"
#include "recovery/file_key.h"
#include "recovery/shares.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypsess.h"

namespace zyp::cli {
namespace {

// Files carry the key of kind 0 in their first recovery field, which is the
// one the recovery reads.
constexpr uint32_t kRecoveryKind = 0;
constexpr char kRecoveredLabelPrefix[] = "Recovered key";

uint32_t whole_number(const Invocation& invocation, std::string_view option, uint32_t low, uint32_t high) {
  const std::string& text = *invocation.value(option);
  std::string range = std::to_string(low) + " to " + std::to_string(high);
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(std::string(option) + " takes a whole number from " + range);
  uint32_t value = static_cast<uint32_t>(std::stoul(text));
  if (value < low || value > high) throw UsageError(std::string(option) + " takes a whole number from " + range);
  return value;
}

void require_logged_in(uint32_t token, std::string_view what) {
  if (ZYPGetSessionState(static_cast<int>(token)) != 0)
    fail(what, "no logged-in session on token " + std::to_string(token) + "; run `" + login_command(token) + "`");
}

std::string disk_folder(const std::string& out, uint32_t disk_number) {
  return out + "/disk-" + std::to_string(disk_number);
}

// Makes the share folders and checks that each can take its file, before
// the key pair exists: a key installed without its shares would put fields
// nobody can open into every file.
void prepare_share_folders(const std::string& out, uint32_t disks, std::string_view what) {
  for (uint32_t number = 1; number <= disks; ++number) {
    std::string folder = disk_folder(out, number);
    if (!platform::make_folders(folder)) fail(what, "cannot make the folder " + folder + ": " + std::strerror(errno));
    std::string path = recovery::share_file_path(folder);
    if (platform::file_exists(path))
      fail(what, path + " exists already; choose an empty --out folder (an older share set is never overwritten)");
    recovery::Share probe;
    probe.disks = probe.needed = 1;
    if (!recovery::write_share_file(path, probe)) fail(what, "cannot write " + path + ": " + std::strerror(errno));
    std::remove(path.c_str());
  }
}

struct ReadShare {
  std::string folder;
  recovery::Share share;
};

// The shares of the folders: each must hold a share file of the same set,
// no two the same disk, and at least k of them.
std::vector<ReadShare> read_shares(const std::vector<std::string>& folders, std::string_view what) {
  std::vector<ReadShare> shares(folders.size());
  for (size_t i = 0; i < folders.size(); ++i) {
    shares[i].folder = folders[i];
    std::string path = recovery::share_file_path(folders[i]);
    if (!recovery::read_share_file(path, shares[i].share))
      fail(what, path + " is missing or is not a share file (" + std::to_string(recovery::kShareFileSize) + " bytes)");
    const recovery::Share& first = shares[0].share;
    if (shares[i].share.disks != first.disks || shares[i].share.needed != first.needed)
      fail(what, folders[i] + " holds a share of another set than " + folders[0]);
    for (size_t j = 0; j < i && first.needed > 1; ++j)
      if (shares[j].share.bytes == shares[i].share.bytes)
        fail(what, folders[j] + " and " + folders[i] + " hold the same disk's share; give " +
                       std::to_string(first.needed) + " different disks");
  }
  if (shares.size() < shares[0].share.needed)
    fail(what, "the set needs " + std::to_string(shares[0].share.needed) + " disks, " + std::to_string(shares.size()) +
                   " given");
  return shares;
}

std::vector<std::string> share_folders(const Invocation& invocation) {
  std::vector<std::string> folders{*invocation.value("--shares")};
  folders.insert(folders.end(), invocation.operands.begin() + 1, invocation.operands.end());
  return folders;
}

std::string recovery_field_failure(int code) {
  if (code == ZYPFILE_NOT_PRESENT) return "the file has no first recovery field (it was encrypted without a recovery key)";
  if (code == 2) return "no such file";
  return "it is not an encrypted file that can be read (code " + std::to_string(code) + ")";
}

}  // namespace

int run_recovery_create_shares(const Invocation& invocation) {
  uint32_t disks = whole_number(invocation, "--disks", 1, recovery::kMostDisks);
  uint32_t needed = whole_number(invocation, "--needed", 1, disks);
  std::string out = platform::full_path_name(*invocation.value("--out"));
  std::string what = "create the recovery shares";
  uint32_t token = chosen_token(invocation);
  ensure_server(what);
  require_token(token, what);
  require_logged_in(token, what);
  if (ZYPCIPIsStrongCryptoEnabled(token) == 1)
    fail(what, "token " + std::to_string(token) + " has a recovery key already; its share set stays the one to keep");
  prepare_share_folders(out, disks, what);

  ZYPRecoveryKeyRecord record{};
  ZYPRecoveryPublicRecord public_record{};
  int result = ZYPCIPSetKeyRecoveryPublicKey(token, kRecoveryKind, &record, &public_record);
  recovery::RecordBytes bytes{};
  std::memcpy(bytes.data(), &record, bytes.size());
  recovery::wipe(&record, sizeof record);
  if (result != ZYPCIP_OK) {
    recovery::wipe(bytes.data(), bytes.size());
    check_result(result, what, token);
  }
  std::string unwritten;
  for (uint32_t disk = 0; disk < disks; ++disk) {
    recovery::Share share;
    recovery::make_share(bytes, disks, needed, disk, share);
    std::string path = recovery::share_file_path(disk_folder(out, disk + 1));
    if (!recovery::write_share_file(path, share)) unwritten += " " + path;
    else std::printf("%s\n", path.c_str());
  }
  recovery::wipe(bytes.data(), bytes.size());
  if (!unwritten.empty())
    fail(what, "the recovery key is installed on token " + std::to_string(token) +
                   " but these share files could not be written:" + unwritten);
  std::printf("recovery key installed on token %u: files encrypted from now on can be recovered with %u of these %u "
              "disks\n",
              token, needed, disks);
  uint32_t fewest = recovery::fewest_disks_that_may_rebuild(disks, needed);
  if (fewest < needed)
    std::printf("note: the share rule lets some groups of only %u of these disks rebuild the key as well\n", fewest);
  return kExitOk;
}

int run_recover(const Invocation& invocation) {
  const std::string& file = invocation.operands.at(0);
  std::string what = "recover the key of " + printable(file);
  recovery::FileField field;
  int read = recovery::read_first_field(file, field);
  if (read != ZYPFILE_OK) fail(what, recovery_field_failure(read));
  FileHeader header{};
  if (ZYPGetFileAttributes(file.c_str(), &header) != ZYPFILE_OK) fail(what, "its header cannot be read");

  std::vector<ReadShare> shares = read_shares(share_folders(invocation), what);
  recovery::RecordBytes record{};
  for (size_t i = 0; i < shares[0].share.needed; ++i) recovery::add_share(record, shares[i].share.bytes);

  uint32_t token = chosen_token(invocation);
  ensure_server(what);
  require_token(token, what);
  require_logged_in(token, what);
  std::string label = recovery::recovered_key_label(kRecoveredLabelPrefix, file);
  bool recovered = recovery::unwrap_file_key(token, field, label, record);
  recovery::wipe(record.data(), record.size());
  if (!recovered)
    fail(what, "the shares do not open its recovery field (shares of another recovery key, or the key " +
                   key_id_text(header.Key) + " is on the token already)");
  std::printf("key %s is in the session of token %u until the session closes: decrypt the file now\n",
              key_id_text(header.Key).c_str(), token);
  return kExitOk;
}

}  // namespace zyp::cli
