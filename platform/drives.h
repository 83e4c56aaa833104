#pragma once
// The Windows drives the suite knows and the classification of paths that it
// refuses to work on.
//
// Drive A: (the key floppy) is a folder named by the machine setting
// HKLM\SOFTWARE\Quillmarsh\Drives value "A"; drive C: is the user's home
// folder unless the value "C" names another. A drive root is "/" or a mount
// point; network and CD-ROM paths are told by the file-system type of the
// mount that holds them, as listed in /proc/self/mounts.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::platform {

// The key-disk folder, when configured.
std::optional<std::string> key_disk_folder();
// The key-disk folder is configured, is a folder and answers statvfs.
bool key_disk_present();
// The key disk's volume serial: the low 32 bits of its file-system id.
std::optional<uint32_t> key_disk_volume_serial();
// "%08X", as Windows shows a volume serial.
std::string format_volume_serial(uint32_t serial);

// The folder that stands for drive C:.
std::string system_drive_folder();

// GetFullPathName: the absolute path, folded lexically (repeated and
// trailing slashes, "." and ".."), symbolic links kept as written.
std::string full_path_name(const std::string& path);

// The live mount table is /proc/self/mounts, or the file named by this
// variable (tests describe network and CD-ROM mounts with it).
inline constexpr char kMountTableVariable[] = "ZYP_MOUNT_TABLE";

// Path classification on the live mount table. A path that does not exist
// yet is judged by its nearest existing parent.
bool is_mount_point_or_root(const std::string& path);
bool is_network_path(const std::string& path);
bool is_cdrom_path(const std::string& path);

// One line of a mount table (fstab layout: source, mount point, type, ...).
struct MountEntry {
  std::string source;
  std::string mount_point;  // with the \040-style escapes undone
  std::string fs_type;
};

// Parses the text of /proc/self/mounts; malformed lines are skipped.
std::vector<MountEntry> parse_mount_table(std::string_view text);

// The entry whose mount point is the longest one holding `path` (absolute);
// of equal mount points the later (the one mounted on top) wins. Null for a
// relative path or an empty table.
const MountEntry* mount_holding(const std::vector<MountEntry>& table, const std::string& path);

bool is_network_file_system(std::string_view fs_type);
bool is_cdrom_file_system(std::string_view fs_type);

// The classification over a given table, for an absolute path that is taken
// as it is (only repeated and trailing slashes, "." and ".." are folded).
bool is_mount_point_or_root(const std::vector<MountEntry>& table, const std::string& path);
bool is_network_path(const std::vector<MountEntry>& table, const std::string& path);
bool is_cdrom_path(const std::vector<MountEntry>& table, const std::string& path);

}  // namespace zyp::platform
