#include "platform/drives.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/atomic_file.h"
#include "platform/registry.h"

namespace zyp::platform {
namespace {

constexpr std::string_view kDrivesKey = "SOFTWARE\\Quillmarsh\\Drives";

constexpr std::array<std::string_view, 22> kNetworkFileSystems = {
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "ncp",       // file-server protocols
    "9p", "afs", "coda", "ceph", "glusterfs", "lustre",           // distributed and virtual-machine shares
    "sshfs", "fuse.sshfs", "fuse.ceph", "fuse.glusterfs",         // the same through FUSE
    "davfs", "fuse.davfs2", "fuse.smbnetfs", "fuse.curlftpfs",    // web, SMB and FTP through FUSE
    "fuse.rclone",                                                // cloud storage
};

constexpr std::array<std::string_view, 2> kCdromFileSystems = {"iso9660", "udf"};

// A string value of the drive settings; empty when unset or blank.
std::optional<std::string> drive_setting(std::string_view letter) {
  try {
    reg::Value value;
    if (reg::query_value(reg::Root::LocalMachine, kDrivesKey, letter, value) != 0) return std::nullopt;
    if (value.type != reg::kString && value.type != reg::kExpandString) return std::nullopt;
    std::string text(value.data.begin(), value.data.end());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (text.empty()) return std::nullopt;
    return text;
  } catch (...) {
    return std::nullopt;
  }
}

bool answers_statvfs(const std::string& folder, struct statvfs& info) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::statvfs(folder.c_str(), &info) == 0;
}

int octal_digit(char c) { return c >= '0' && c <= '7' ? c - '0' : -1; }

// Undoes the kernel's escapes of blanks, tabs, newlines and backslashes
// ("\040" for a space) in a mount-table field.
std::string unescape_mount_field(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal_digit(field[i + 1]) >= 0 && octal_digit(field[i + 2]) >= 0 &&
        octal_digit(field[i + 3]) >= 0) {
      out +=
          static_cast<char>(octal_digit(field[i + 1]) * 64 + octal_digit(field[i + 2]) * 8 + octal_digit(field[i + 3]));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    if (end > pos) fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

// Folds an absolute path lexically: repeated slashes, trailing slashes, "."
// and ".." (above the root stays at the root), as GetFullPathName does.
std::string fold_path(const std::string& path) {
  std::vector<std::string_view> parts;
  std::string_view rest(path);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string folded;
  for (auto part : parts) {
    folded += '/';
    folded += part;
  }
  return folded.empty() ? std::string("/") : folded;
}

std::string absolute_path(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  return std::string(cwd ? cwd.get() : "/") + "/" + path;
}

std::optional<std::string> real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

// The absolute path with symbolic links resolved as far as it exists; the
// missing tail is kept as written.
std::string resolve_path(const std::string& path) {
  std::string head = fold_path(absolute_path(path));
  std::string tail;
  for (;;) {
    if (auto real = real_path(head)) return fold_path(*real + tail);
    if (head == "/") return fold_path(tail);
    size_t slash = head.find_last_of('/');
    tail = head.substr(slash) + tail;
    head = slash == 0 ? std::string("/") : head.substr(0, slash);
  }
}

bool holds(const std::string& mount_point, const std::string& path) {
  if (mount_point == "/") return true;
  return path.compare(0, mount_point.size(), mount_point) == 0 &&
         (path.size() == mount_point.size() || path[mount_point.size()] == '/');
}

std::vector<MountEntry> live_mount_table() {
  const char* other = std::getenv(kMountTableVariable);
  auto text = read_whole_file(other && *other ? other : "/proc/self/mounts");
  return text ? parse_mount_table(*text) : std::vector<MountEntry>();
}

template <typename Judge>
bool judge_live(const std::string& path, Judge&& judge) {
  try {
    return judge(live_mount_table(), resolve_path(path));
  } catch (...) {
    return false;
  }
}

bool held_by_type(const std::vector<MountEntry>& table, const std::string& path,
                  bool (*type_matches)(std::string_view)) {
  if (path.empty() || path.front() != '/') return false;
  const MountEntry* entry = mount_holding(table, path);
  return entry && type_matches(entry->fs_type);
}

}  // namespace

std::optional<std::string> key_disk_folder() { return drive_setting("A"); }

bool key_disk_present() {
  auto folder = key_disk_folder();
  struct statvfs info {};
  return folder && answers_statvfs(*folder, info);
}

std::optional<uint32_t> key_disk_volume_serial() {
  auto folder = key_disk_folder();
  struct statvfs info {};
  if (!folder || !answers_statvfs(*folder, info)) return std::nullopt;
  return static_cast<uint32_t>(info.f_fsid & 0xFFFFFFFFu);
}

std::string format_volume_serial(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

std::string system_drive_folder() {
  if (auto folder = drive_setting("C")) return *folder;
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_dir && *user->pw_dir) return user->pw_dir;
  return "/";
}

std::vector<MountEntry> parse_mount_table(std::string_view text) {
  std::vector<MountEntry> table;
  while (!text.empty()) {
    size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    auto fields = split_fields(line);
    if (fields.size() < 3 || fields[0].front() == '#') continue;
    table.push_back(
        {unescape_mount_field(fields[0]), unescape_mount_field(fields[1]), unescape_mount_field(fields[2])});
  }
  return table;
}

const MountEntry* mount_holding(const std::vector<MountEntry>& table, const std::string& path) {
  if (path.empty() || path.front() != '/') return nullptr;
  std::string folded = fold_path(path);
  const MountEntry* best = nullptr;
  size_t best_length = 0;
  for (const MountEntry& entry : table) {
    if (entry.mount_point.empty() || entry.mount_point.front() != '/') continue;
    std::string mount_point = fold_path(entry.mount_point);
    if (!holds(mount_point, folded)) continue;
    if (!best || mount_point.size() >= best_length) {
      best = &entry;
      best_length = mount_point.size();
    }
  }
  return best;
}

bool is_network_file_system(std::string_view fs_type) {
  for (auto known : kNetworkFileSystems)
    if (fs_type == known) return true;
  return false;
}

bool is_cdrom_file_system(std::string_view fs_type) {
  for (auto known : kCdromFileSystems)
    if (fs_type == known) return true;
  return false;
}

bool is_mount_point_or_root(const std::vector<MountEntry>& table, const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  std::string folded = fold_path(path);
  if (folded == "/") return true;
  for (const MountEntry& entry : table)
    if (!entry.mount_point.empty() && entry.mount_point.front() == '/' && fold_path(entry.mount_point) == folded)
      return true;
  return false;
}

bool is_network_path(const std::vector<MountEntry>& table, const std::string& path) {
  return held_by_type(table, path, &is_network_file_system);
}

bool is_cdrom_path(const std::vector<MountEntry>& table, const std::string& path) {
  return held_by_type(table, path, &is_cdrom_file_system);
}

std::string full_path_name(const std::string& path) { return fold_path(absolute_path(path)); }

bool is_mount_point_or_root(const std::string& path) {
  return judge_live(path, [](const auto& table, const std::string& p) { return is_mount_point_or_root(table, p); });
}

bool is_network_path(const std::string& path) {
  return judge_live(path, [](const auto& table, const std::string& p) { return is_network_path(table, p); });
}

bool is_cdrom_path(const std::string& path) {
  return judge_live(path, [](const auto& table, const std::string& p) { return is_cdrom_path(table, p); });
}

}  // namespace zyp::platform
