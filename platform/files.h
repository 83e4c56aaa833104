#pragma once
// File operations with the Windows semantics the suite's callers rely on:
// results are true/false (or a value), and the Windows error number of a
// failure is left in last_error() (platform/last_error.h).
//
// The read-only attribute is enforced here, not by the kernel: programs often
// run as root, where the kernel refuses nothing. Of a file it is the owner's
// write bit; of a folder, and every other attribute, it is a bit of the word
// kept in the extended attribute "user.zyp.attributes" (a 32-bit
// little-endian value). Where extended attributes are unsupported those bits
// read as 0 and writes to them are ignored. A folder is never made
// unwritable with chmod.
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

namespace zyp::platform {

// The Windows attribute word.
enum FileAttribute : uint32_t {
  kAttributeReadOnly = 0x01,
  kAttributeHidden = 0x02,
  kAttributeSystem = 0x04,
  kAttributeDirectory = 0x10,
  kAttributeArchive = 0x20,
  kAttributeNormal = 0x80,
};
inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

// The name of the extended attribute that holds the attribute word.
inline constexpr const char* kAttributesXattr = "user.zyp.attributes";

// GetTempFileName: creates a new empty file "<folder>/<prefix><hex>.tmp" with
// mode 0600 (O_EXCL, so it never reuses an existing name) and returns its
// path. Only the first three characters of the prefix are used, as on Windows.
std::optional<std::string> temp_file_name(const std::string& folder, std::string_view prefix);
// The last component of `path` has the form temp_file_name gives with `prefix`.
bool is_temp_file_name(std::string_view path, std::string_view prefix);

// CopyFile: copies the contents, permission bits, attribute word and
// modification time of `src` to `dst`. An existing `dst` is refused with 80
// when `fail_if_exists`, and with 5 when it is read-only or a folder;
// otherwise it is replaced as a whole (a failed copy leaves it unchanged).
bool copy_file(const std::string& src, const std::string& dst, bool fail_if_exists);

// MoveFile: renames `src` (a file or a folder) to `dst`; fails with 183 when
// `dst` exists. A file is copied and then unlinked across file systems; a
// folder cannot cross file systems (17).
bool move_file(const std::string& src, const std::string& dst);

// DeleteFile: unlinks a file; 5 for a read-only file or a folder, 2 or 3
// when the file or its folder is missing.
bool delete_file(const std::string& path);

// RemoveDirectory: removes an empty folder; 5 when it has the read-only
// attribute, 145 when it is not empty, 267 when it is not a folder.
bool remove_folder(const std::string& path);

// The names in `folder` other than "." and "..", sorted; empty when it
// cannot be read.
std::vector<std::string> entry_names(const std::string& folder);

// Copies the bytes of `src` into the existing file `dst` itself (same inode,
// so hard links and open mappings see the new contents), sets its length and
// flushes it to the disk. 2 when `dst` is missing, 5 when it is read-only.
bool rewrite_in_place(const std::string& src, const std::string& dst);

// GetFileAttributes: the attribute word, or kInvalidFileAttributes (with 2 or
// 3) when the path is missing. A file without any attribute reads as
// kAttributeNormal.
uint32_t get_file_attributes(const std::string& path);

// SetFileAttributes: the read-only bit of a file sets or clears the owner's
// write bit; the directory and normal bits are ignored; the other bits are
// stored in the extended attribute.
bool set_file_attributes(const std::string& path, uint32_t attributes);

// FILETIME values: 100-nanosecond intervals since 1601-01-01 UTC. Times
// before 1601 read as 0.
uint64_t filetime_from_timespec(const timespec& time);
timespec timespec_from_filetime(uint64_t filetime);

struct FileTimes {
  uint64_t last_access = 0;  // FILETIME
  uint64_t last_write = 0;   // FILETIME
};

// GetFileTime/SetFileTime for the access and modification times (Linux has
// no settable creation time). A time not given is left unchanged.
std::optional<FileTimes> get_file_times(const std::string& path);
bool set_file_times(const std::string& path, std::optional<uint64_t> last_access, std::optional<uint64_t> last_write);

// The size of a file; empty with 5 for a folder, 2 or 3 when missing.
std::optional<uint64_t> file_size(const std::string& path);

bool file_exists(const std::string& path);  // any kind of file system entry
bool is_folder(const std::string& path);

}  // namespace zyp::platform
