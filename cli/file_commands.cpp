// zyp info and zyp erase: what a file or folder is, and erasing it beyond
// recovery.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "cli/commands.h"
#include "cli/file_operands.h"
#include "cli/provider_lists.h"
#include "cli/resource_module.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "cli/terminal_input.h"
#include "filecrypt/erase.h"
#include "platform/drives.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zyphook.h"
#include "zyp/zypsess.h"
#include "zyp/zyptools.h"

namespace zyp::cli {
namespace {

constexpr uint32_t kMostErasePasses = 35;
constexpr char kProgressTitle[] = "Secure erase";

[[noreturn]] void fail_hook_code(std::string_view what, int code) {
  if (code == ZYPHOOK_NO_DEVICE)
    fail(what, "the file-system hook is not available (code 70); the machine setting \"HookDevice\" in section "
               "\"General\" switches it on (`zypconfig` shows it)");
  if (code == ZYPFILE_NOT_FOUND) fail(what, "no such file or folder (code 2)");
  fail(what, "unexpected result (code " + std::to_string(code) + ")");
}

// ---- info ------------------------------------------------------------------

std::string options_text(uint32_t options) {
  static constexpr std::pair<uint32_t, const char*> kBits[] = {
      {ZYPFILE_OPTION_COMPRESSED, "compressed"},
      {ZYPFILE_OPTION_CHECK_VALUE, "check value"},
      {ZYPFILE_OPTION_RECOVERY0, "recovery field 0"},
      {ZYPFILE_OPTION_RECOVERY1, "recovery field 1"},
  };
  char hex[11];
  std::snprintf(hex, sizeof hex, "0x%08X", options);
  std::string names;
  for (const auto& [bit, name] : kBits)
    if (options & bit) names += (names.empty() ? "" : ", ") + std::string(name);
  return std::string(hex) + (names.empty() ? "" : " (" + names + ")");
}

std::string recovery_text(uint32_t options) {
  bool first = options & ZYPFILE_OPTION_RECOVERY0, second = options & ZYPFILE_OPTION_RECOVERY1;
  if (first && second) return "0 and 1";
  if (first || second) return first ? "0" : "1";
  return "none";
}

std::string header_label(const FileHeader& header) {
  return printable(std::string_view(header.User, ::strnlen(header.User, sizeof header.User)));
}

std::optional<uint32_t> plain_length(const std::string& path, const FileHeader& header) {
  off_t offset = header.Version == ZYPFILE_VERSION_EARLIER ? ZYPFILE_EARLIER_HEADER_SIZE : ZYPFILE_HEADER_SIZE;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  uint8_t bytes[4] = {};
  bool read = ::pread(fd, bytes, sizeof bytes, offset) == static_cast<ssize_t>(sizeof bytes);
  ::close(fd);
  if (!read) return std::nullopt;
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// What the provider can say about the header's key and algorithm: only a
// running server is asked, and the key's label needs a logged-in session.
struct ProviderNames {
  std::string algorithm;
  std::string key_label;
};

ProviderNames provider_names(const FileHeader& header) {
  char mechanism[11];
  std::snprintf(mechanism, sizeof mechanism, "0x%08X", header.Algo);
  ProviderNames names{mechanism, ""};
  if (!server_reachable()) {
    names.key_label = "(unknown: no provider server runs; `zyp server start` and `zyp token login` let it show)";
    return names;
  }
  uint32_t token = static_cast<uint32_t>(ZYPGetPrimaryToken());
  std::string what = "ask the provider about key " + key_id_text(header.Key);
  for (const Algorithm& algorithm : token_algorithms(token, what))
    if (algorithm.mechanism == header.Algo) names.algorithm = algorithm.name + " (" + mechanism + ")";
  if (ZYPGetSessionState(static_cast<int>(token)) != 0) {
    names.key_label = "(unknown: no logged-in session on token " + std::to_string(token) + "; run `" +
                      login_command(token) + "`)";
    return names;
  }
  names.key_label = "(not in token " + std::to_string(token) + ")";
  for (const ZYPCIPListEntry& entry : list_keys(token, header.Algo, ZYPCIP_TYPE_ENCRYPTION, what))
    if (entry.value == header.Key) names.key_label = printable_name(entry);
  return names;
}

void print_field(std::string_view name, const std::string& value) {
  std::printf("  %.*s: %s\n", static_cast<int>(name.size()), name.data(), value.c_str());
}

void print_key_fields(const FileHeader& header) {
  if (header.Key == ZYPFILE_NO_KEY) {
    print_field("key", "none (stays in clear)");
    return;
  }
  ProviderNames names = provider_names(header);
  print_field("key", key_id_text(header.Key));
  print_field("key label", names.key_label);
  print_field("algorithm", names.algorithm);
  print_field("options", options_text(header.Options));
  print_field("label", "\"" + header_label(header) + "\"");
}

void show_folder(const std::string& path) {
  FileHeader header{};
  int result = ZYPGetFolderHeader(path.c_str(), &header);
  if (result == ZYPHOOK_NO_HEADER) {
    std::printf("%s\n", printable(path).c_str());
    print_field("state", "folder, not marked for encryption");
    return;
  }
  if (result != 0) fail_hook_code("read the mark of folder " + in_quotes(path), result);
  std::printf("%s\n", printable(path).c_str());
  print_field("state", "folder marked for encryption");
  print_key_fields(header);
}

void show_file(const std::string& path) {
  FileHeader header{};
  int result = ZYPGetFileAttributes(path.c_str(), &header);
  if (result == ZYPFILE_NOT_ENCRYPTED) {
    std::printf("%s\n", printable(path).c_str());
    print_field("state", "not encrypted");
    return;
  }
  if (result != 0) fail_hook_code("read the header of " + in_quotes(path), result);
  std::printf("%s\n", printable(path).c_str());
  bool earlier = header.Version == ZYPFILE_VERSION_EARLIER;
  print_field("state", earlier ? "encrypted (earlier layout)" : "encrypted");
  print_key_fields(header);
  auto length = plain_length(path, header);
  print_field("plain length", length ? std::to_string(*length) + " bytes" : "(cannot be read)");
  print_field("recovery fields", recovery_text(header.Options));
}

// ---- erase -----------------------------------------------------------------

uint32_t erase_passes(const Invocation& invocation) {
  const std::string* text = invocation.value("--passes");
  if (!text) return ZYPGetSecureEraseCycle();
  uint32_t passes = 0;
  auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), passes);
  if (text->empty() || error != std::errc() || end != text->data() + text->size() || passes > kMostErasePasses)
    throw UsageError("--passes takes a whole number from 0 to " + std::to_string(kMostErasePasses) + ", not \"" +
                     printable(*text) + "\"");
  return passes;
}

std::string erase_failure(int result) {
  switch (result) {
    case zyp::file::kDeclined: return "the read-only file was kept (code 1)";
    case zyp::file::kMissing: return "an item disappeared while it was erased (code 2)";
    case zyp::file::kCannotOpen: return "a file cannot be opened for writing (code 12); check its permissions";
    case zyp::file::kWriteFailed:
      return "a write failed (code 14): the file is deleted but its contents may remain on the disk";
    case zyp::file::kNoSize: return "the size of a file cannot be read (code 17)";
    case zyp::file::kCannotDelete:
      return "an item cannot be deleted (code 19); check the permissions of the folder that holds it";
    default: return "unexpected result (code " + std::to_string(result) + ")";
  }
}

// Every path exists and none is a whole file system, before anything is erased.
void check_erasable(const Invocation& invocation) {
  for (const std::string& path : invocation.operands) {
    auto status = entry_status(path);
    if (!status) fail("erase " + in_quotes(path), "no such file or folder; nothing was erased");
    std::error_code error;
    std::string absolute = std::filesystem::absolute(path, error).string();
    if (S_ISDIR(status->st_mode) && (error || platform::is_mount_point_or_root(absolute)))
      fail("erase " + in_quotes(path),
           "it is a file-system root or mount point; erase the items inside it instead (nothing was erased)");
  }
}

void confirm_erase(const Invocation& invocation, uint32_t passes) {
  if (invocation.has("--yes")) return;
  std::string names;
  for (const std::string& path : invocation.operands) names += (names.empty() ? "" : ", ") + in_quotes(path);
  auto answer = confirm_on_terminal("Erase " + names + " beyond recovery (" + std::to_string(passes) +
                                    " passes)? Folders are erased with everything in them.");
  if (!answer) throw UsageError("erasing needs a confirmation: add --yes");
  if (!*answer) fail("erase " + names, "not confirmed; nothing was erased");
}

class ProgressWindow {
 public:
  explicit ProgressWindow(bool shown) : window_(shown ? ZYPInitProgress(nullptr, kProgressTitle, 0) : nullptr) {}
  ~ProgressWindow() {
    if (window_) ZYPDestroyProgress(window_);
  }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;
  ZYPWindow* get() const { return window_; }

 private:
  ZYPWindow* window_;
};


}  // namespace

int run_info(const Invocation& invocation) {
  bool first = true;
  return for_each_operand(invocation, [&](const std::string& path) {
    auto status = entry_status(path);
    if (!status) fail("show " + in_quotes(path), "no such file or folder");
    if (!first) std::printf("\n");
    first = false;
    if (S_ISDIR(status->st_mode)) show_folder(path);
    else show_file(path);
  });
}

int run_erase(const Invocation& invocation) {
  uint32_t passes = erase_passes(invocation);
  check_erasable(invocation);
  confirm_erase(invocation, passes);
  // The read-only question of a file erased with a progress window.
  ResourceModule strings("ZYPFILE");
  return for_each_operand(invocation, [&](const std::string& path) {
    auto status = entry_status(path);
    if (!status) fail("erase " + in_quotes(path), "no such file or folder");
    ProgressWindow progress(wants_progress(invocation, *status));
    zyp::file::EraseContext context{.passes = passes, .window = progress.get(), .max_percent = 100.0f,
                                    .strings = strings.get()};
    int result = zyp::file::erase_path(path, context);
    if (result != zyp::file::kErased) fail("erase " + in_quotes(path), erase_failure(result));
    std::printf("erased %s\n", printable(path).c_str());
  });
}

}  // namespace zyp::cli
