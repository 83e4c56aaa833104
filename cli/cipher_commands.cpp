// zyp encrypt and zyp decrypt: files and folder trees, in place or into
// another file, through the file library (the keys stay in the server).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/file_operands.h"
#include "cli/provider_lists.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zyphook.h"
#include "zyp/zypsess.h"

namespace zyp::cli {
namespace {

namespace fs = std::filesystem;

constexpr char kMarkFileName[] = "desktop.ini";

enum class Direction { encrypt, decrypt };

struct ChosenKey {
  uint32_t key;
  uint32_t algorithm;
  std::string label;
};

// ---- the key ---------------------------------------------------------------

struct KeyCandidate {
  ZYPCIPListEntry entry;
  uint32_t algorithm;
};

// Every encryption key of the token, each with the first encryption algorithm
// it serves.
std::vector<KeyCandidate> encryption_keys(uint32_t token, std::string_view what) {
  std::vector<KeyCandidate> keys;
  for (const Algorithm& algorithm : token_algorithms(token, what)) {
    if (algorithm.type != ZYPCIP_TYPE_ENCRYPTION) continue;
    for (const ZYPCIPListEntry& entry : list_keys(token, algorithm.mechanism, algorithm.type, what)) {
      bool known = false;
      for (const KeyCandidate& candidate : keys) known = known || candidate.entry.value == entry.value;
      if (!known) keys.push_back({entry, algorithm.mechanism});
    }
  }
  return keys;
}

bool is_key_id(std::string_view text) {
  try {
    parse_key_id(text);
    return true;
  } catch (const UsageError&) {
    return false;
  }
}

// The key named by its identifier or, failing that, by its label.
ChosenKey choose_key(uint32_t token, const std::string& text, std::string_view what) {
  std::vector<KeyCandidate> keys = encryption_keys(token, what);
  if (is_key_id(text)) {
    uint32_t id = parse_key_id(text);
    for (const KeyCandidate& candidate : keys)
      if (candidate.entry.value == id) return {id, candidate.algorithm, printable_name(candidate.entry)};
  }
  std::vector<const KeyCandidate*> named;
  for (const KeyCandidate& candidate : keys)
    if (::strncmp(candidate.entry.name, text.c_str(), sizeof candidate.entry.name) == 0) named.push_back(&candidate);
  if (named.size() > 1)
    fail(what, "several keys are named \"" + printable(text) + "\"; give the key's identifier (see `zyp keys list`)");
  if (named.empty())
    fail(what, "token " + std::to_string(token) + " has no encryption key \"" + printable(text) +
                   "\" (see `zyp keys list`)");
  return {named.front()->entry.value, named.front()->algorithm, printable_name(named.front()->entry)};
}

std::string checked_label(const Invocation& invocation) {
  const std::string* label = invocation.value("--label");
  if (!label) return {};
  if (label->size() > ZYPFILE_USER_SIZE)
    throw UsageError("--label holds at most " + std::to_string(ZYPFILE_USER_SIZE) + " bytes, not " +
                     std::to_string(label->size()));
  if (label->find('\0') != std::string::npos) throw UsageError("--label cannot hold a zero byte");
  return *label;
}

// ---- destinations ----------------------------------------------------------

// Where --to puts the result for `source`: DEST itself, or DEST/NAME when
// DEST is a folder (which it must be for several operands).
std::string destination_for(const Invocation& invocation, const std::string& source) {
  const std::string& to = *invocation.value("--to");
  auto status = entry_status(to);
  if (status && S_ISDIR(status->st_mode)) return (fs::path(to) / fs::path(source).filename()).string();
  return to;
}

// Every operand exists, is a file or a folder as the options allow, and no
// destination would be overwritten, before anything is changed.
void check_operands(const Invocation& invocation, std::string_view verb) {
  const std::string* to = invocation.value("--to");
  if (to && invocation.operands.size() > 1) {
    auto status = entry_status(*to);
    if (!status || !S_ISDIR(status->st_mode))
      throw UsageError("with several paths, --to names an existing folder");
  }
  for (const std::string& path : invocation.operands) {
    std::string what = std::string(verb) + " " + in_quotes(path);
    auto status = entry_status(path);
    if (!status) fail(what, "no such file or folder; nothing was changed");
    if (S_ISLNK(status->st_mode)) fail(what, "it is a symbolic link; name the file it points to (nothing was changed)");
    if (!S_ISDIR(status->st_mode) && !S_ISREG(status->st_mode))
      fail(what, "not a regular file or a folder; nothing was changed");
    if (!to) continue;
    if (S_ISDIR(status->st_mode))
      fail(what, "folders are converted in place; --to takes files only (nothing was changed)");
    std::string destination = destination_for(invocation, path);
    if (entry_status(destination))
      fail(what, "the destination " + in_quotes(destination) +
                     " exists; remove it or choose another name (nothing was changed)");
  }
}

// ---- results ---------------------------------------------------------------

std::string common_reason(int code) {
  switch (code) {
    case ZYPFILE_NOT_FOUND: return "no such file or folder (code 2)";
    case ZYPFILE_CANNOT_OPEN:
      return "a file could not be opened or created (code 12); check the permissions of the file and its folder";
    case ZYPFILE_NOT_ALLOWED:
      return "not allowed here (code 49): a file-system root or mount point, a network or CD-ROM file system, "
             "the Start Menu, or a folder of the exclusion list (`zyp exclude list`)";
    case ZYPFILE_NO_HOOK:
      return "the file-system hook is not available (code 70); the machine setting \"HookDevice\" in section "
             "\"General\" switches it on (`zypconfig` shows it)";
    case ZYPFILE_TOO_LARGE:
      return "the file is too large (code 223): encrypted files hold at most 4 GiB - 1 byte; nothing was changed";
    case ZYPFILE_MARK_NOT_WRITTEN:
      return "the folder's mark (desktop.ini) could not be written (code 21); check the folder's permissions";
    case ZYPHOOK_CALL_MISSING: return "the file library lacks the per-file operation (code 120)";
    default: break;
  }
  if (code > 0 && code < 200) return std::string(result_meaning(code)) + " (code " + std::to_string(code) + ")";
  return "unexpected result (code " + std::to_string(code) + ")";
}

std::string encrypt_reason(int code) {
  switch (code) {
    case ZYPFILE_NO_SESSION: return "no logged-in session on the primary token; run `zyp token login`";
    case ZYPFILE_UNKNOWN_KEY:
      return "the size of the file cannot be read, or its key is not in the token (code 17); nothing was changed";
    case ZYPFILE_ALREADY_MARKED: return "the folder is already marked for encryption (code 43); `zyp info` shows its key";
    case ZYPFILE_BAD_PATH: return "the path is not valid (code 48)";
    default: return common_reason(code);
  }
}

std::string decrypt_reason(int code) {
  switch (code) {
    case ZYPFILE_CHECK_MISMATCH:
      return "the file is damaged or was changed: its check value does not match (code 1); nothing was changed";
    case ZYPFILE_UNKNOWN_KEY:
      return "its key is not in the token (code 17); `zyp info` names the key, log in to the token that holds it";
    case ZYPFILE_NOT_ENCRYPTED: return "not an encrypted file (code 44); nothing to decrypt";
    case ZYPFILE_BAD_MARKER:
      return "a marker does not match after decryption (code 45): the file is damaged or the key is not the one it "
             "was encrypted with; nothing was changed";
    case ZYPFILE_CANNOT_EXPAND:
      return "the decrypted contents could not be expanded (code 67): the file is damaged; nothing was changed";
    case ZYPFILE_BAD_PATH: return "the path is not valid (code 48)";
    default: return common_reason(code);
  }
}

void check_file_result(int code, Direction direction, const std::string& what) {
  if (code == ZYPFILE_OK) return;
  fail(what, direction == Direction::encrypt ? encrypt_reason(code) : decrypt_reason(code));
}

// ---- folder trees ----------------------------------------------------------

struct TreeCount {
  size_t files = 0;
  size_t left = 0;  // not converted, and not excluded from encryption
  std::string first_left;
};

bool is_encrypted(const std::string& file) {
  FileHeader header{};
  return ZYPGetFileAttributes(file.c_str(), &header) == ZYPFILE_OK;
}

// The folder walks go on past a failed file without saying so: count what a
// walk left behind, the same way it walks (regular files, no links, no marks).
TreeCount count_tree(const std::string& folder, Direction direction) {
  TreeCount count;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
       !error && it != end; it.increment(error)) {
    if (it->is_symlink(error) || !it->is_regular_file(error)) continue;
    if (it->path().filename() == kMarkFileName) continue;
    ++count.files;
    std::string file = it->path().string();
    bool converted = is_encrypted(file) == (direction == Direction::encrypt);
    bool excluded = direction == Direction::encrypt && ZYPAllowEncryption(file.c_str()) == ZYPFILE_NOT_ALLOWED;
    if (converted || excluded) continue;
    if (count.left++ == 0) count.first_left = file;
  }
  return count;
}

void report_tree(const std::string& folder, Direction direction, const std::string& what) {
  TreeCount count = count_tree(folder, direction);
  const char* done = direction == Direction::encrypt ? "encrypted" : "decrypted";
  if (count.left != 0)
    fail(what, std::to_string(count.left) + " of " + std::to_string(count.files) + " files could not be " + done +
                   " (the first: " + in_quotes(count.first_left) + "); `zyp " +
                   (direction == Direction::encrypt ? "encrypt" : "decrypt") + "` of that file says why");
  std::printf("%s folder %s (%zu files)\n", done, printable(folder).c_str(), count.files);
}

void encrypt_folder(const std::string& folder, const ChosenKey& key, const std::string& label, bool progress) {
  std::string what = "encrypt folder " + in_quotes(folder);
  check_file_result(ZYPAskAutorisation(folder.c_str(), 0, 0), Direction::encrypt, what);
  int scan = ZYPScanFolder(folder.c_str(), 0);
  if (scan != ZYPFILE_OK)
    fail(what, "an encrypted file inside cannot be decrypted for re-encryption: " + encrypt_reason(scan) +
                   "; nothing was changed");
  FileHeader header{};
  ZYPFillHeader(&header, key.algorithm, key.key, 0, label.c_str());
  check_file_result(ZYPCipherFolderEx(folder.c_str(), &header, progress ? 1 : 0, 1), Direction::encrypt, what);
  report_tree(folder, Direction::encrypt, what);
}

void decrypt_folder(const std::string& folder, bool progress) {
  std::string what = "decrypt folder " + in_quotes(folder);
  int allowed = ZYPAskAutorisation(folder.c_str(), 1, 0);
  // An unmarked folder may still hold encrypted files: they are decrypted.
  if (allowed != ZYPFILE_NOT_ENCRYPTED) check_file_result(allowed, Direction::decrypt, what);
  check_file_result(ZYPDecipherFolderEx(folder.c_str(), progress ? 1 : 0, 1), Direction::decrypt, what);
  report_tree(folder, Direction::decrypt, what);
}

// ---- files -----------------------------------------------------------------

void encrypt_file(const Invocation& invocation, const std::string& file, const ChosenKey& key,
                  const std::string& label, bool progress) {
  std::string what = "encrypt " + in_quotes(file);
  FileHeader header{};
  ZYPFillHeader(&header, key.algorithm, key.key, 0, label.c_str());
  uint32_t show = progress ? 1 : 0;
  if (!invocation.has("--to")) {
    check_file_result(ZYPCipherFileEx(file.c_str(), &header, show, 1), Direction::encrypt, what);
    std::printf("encrypted %s\n", printable(file).c_str());
    return;
  }
  std::string destination = destination_for(invocation, file);
  check_file_result(ZYPCipherFileToEx(file.c_str(), destination.c_str(), &header, show, 1), Direction::encrypt,
                    what);
  std::printf("encrypted %s into %s\n", printable(file).c_str(), printable(destination).c_str());
}

void decrypt_file(const Invocation& invocation, const std::string& file, bool progress) {
  std::string what = "decrypt " + in_quotes(file);
  FileHeader header{};
  uint32_t show = progress ? 1 : 0;
  if (!invocation.has("--to")) {
    // Telling the hook keeps a file decrypted inside an encrypted folder
    // clear; without the hook there is nobody to tell.
    int result = ZYPDecipherFileEx(file.c_str(), &header, show, 1);
    if (result == ZYPFILE_NO_HOOK) result = ZYPSyncDecipherFileEx(file.c_str(), &header, show, 1);
    check_file_result(result, Direction::decrypt, what);
    std::printf("decrypted %s\n", printable(file).c_str());
    return;
  }
  std::string destination = destination_for(invocation, file);
  check_file_result(ZYPDecipherFileToEx(file.c_str(), destination.c_str(), &header, show, 1), Direction::decrypt,
                    what);
  std::printf("decrypted %s into %s\n", printable(file).c_str(), printable(destination).c_str());
}

// The file library works on the primary token's logged-in session.
uint32_t reach_session(std::string_view what) {
  ensure_server(what);
  uint32_t token = static_cast<uint32_t>(ZYPGetPrimaryToken());
  require_session(token, what);
  return token;
}

// Keeps --compress to this run: other programs go on following the setting.
class CompressionChoice {
 public:
  explicit CompressionChoice(bool compress) : set_(compress) {
    if (set_) ZYPSetProcessCompression(1);
  }
  ~CompressionChoice() {
    if (set_) ZYPSetProcessCompression(-1);
  }
  CompressionChoice(const CompressionChoice&) = delete;
  CompressionChoice& operator=(const CompressionChoice&) = delete;

 private:
  bool set_;
};

std::string permission_text(int code, Direction direction) {
  if (code == ZYPFILE_OK) return "allowed";
  if (direction == Direction::decrypt && code == ZYPFILE_NOT_ENCRYPTED)
    return "refused: the folder is not marked for encryption (code 44)";
  return "refused: " + (direction == Direction::encrypt ? encrypt_reason(code) : decrypt_reason(code));
}

void check_folder(const std::string& folder) {
  auto status = entry_status(folder);
  if (!status) fail("check " + in_quotes(folder), "no such folder");
  if (!S_ISDIR(status->st_mode)) fail("check " + in_quotes(folder), "not a folder");
  int encryption = ZYPAskAutorisation(folder.c_str(), 0, 0), decryption = ZYPAskAutorisation(folder.c_str(), 1, 0);
  std::string inside = "not looked at: the folder may not be converted";
  // A root or another place that may not be converted is not walked: it may
  // be a whole file system.
  if (encryption != ZYPFILE_NOT_ALLOWED || decryption != ZYPFILE_NOT_ALLOWED) {
    int scan = ZYPScanFolder(folder.c_str(), 0);
    inside = scan == ZYPFILE_OK ? "none, or all can be decrypted now"
                                : "not all can be decrypted now: " + decrypt_reason(scan);
  }
  std::printf("%s\n  encryption: %s\n  decryption: %s\n  encrypted files inside: %s\n", printable(folder).c_str(),
              permission_text(encryption, Direction::encrypt).c_str(),
              permission_text(decryption, Direction::decrypt).c_str(), inside.c_str());
}

}  // namespace

int run_folder_check(const Invocation& invocation) {
  reach_session("check");
  bool first = true;
  return for_each_operand(invocation, [&](const std::string& folder) {
    if (!first) std::printf("\n");
    first = false;
    check_folder(folder);
  });
}

int run_encrypt(const Invocation& invocation) {
  std::string label = checked_label(invocation);
  check_operands(invocation, "encrypt");
  uint32_t token = reach_session("encrypt");
  ChosenKey key = choose_key(token, *invocation.value("--key"), "encrypt");
  CompressionChoice compression(invocation.has("--compress"));
  return for_each_operand(invocation, [&](const std::string& path) {
    auto status = entry_status(path);
    if (!status) fail("encrypt " + in_quotes(path), "no such file or folder");
    bool progress = wants_progress(invocation, *status);
    if (S_ISDIR(status->st_mode)) encrypt_folder(path, key, label, progress);
    else encrypt_file(invocation, path, key, label, progress);
  });
}

int run_decrypt(const Invocation& invocation) {
  check_operands(invocation, "decrypt");
  reach_session("decrypt");
  return for_each_operand(invocation, [&](const std::string& path) {
    auto status = entry_status(path);
    if (!status) fail("decrypt " + in_quotes(path), "no such file or folder");
    bool progress = wants_progress(invocation, *status);
    if (S_ISDIR(status->st_mode)) decrypt_folder(path, progress);
    else decrypt_file(invocation, path, progress);
  });
}

}  // namespace zyp::cli
