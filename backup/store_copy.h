#pragma once
// Copies of the key store file "ambrel.ksl", taken whole and never read:
// backups into a chosen folder and restores over the store in use.
//
// A backup is written with mode 0600 (it is the user's keys, sealed only
// under the PIN) through a temporary file in the target folder, so that an
// interrupted backup never leaves half a store under the store's name.
//
// A restore never leaves the user without a key store: the store in use is
// first copied to "<store>.bak" (kept afterwards), then the saved copy is
// written to a temporary file beside the store, synced and renamed over it.
// When any step fails the store in use has not been touched.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zyp::backup {

inline constexpr char kStoreFileName[] = "ambrel.ksl";
inline constexpr char kSafetySuffix[] = ".bak";

// The installed store: "General"/"InstallPath" of the machine (default the
// machine folder, as the token module has it) + "/data/ambrel.ksl".
std::string installed_store_path();
// The key disk's store; nothing when no key-disk folder is configured.
std::optional<std::string> key_disk_store_path();

// A folder as the user gives it to the dialogs: "A:\..." names the key-disk
// folder and "C:\..." the system drive folder (the setting's defaults are
// such names); any other text is a path. Trailing separators are dropped.
std::string folder_path(std::string_view folder);
// The store's name in that folder.
std::string store_in_folder(std::string_view folder);

// Two paths name the same file (compared as full paths).
bool same_path(const std::string& a, const std::string& b);

enum class BackupResult { written, target_exists, failed };

// Copies `source` to `target` (mode 0600). An existing target is replaced
// only with `overwrite`. On failure errno says why.
BackupResult write_backup(const std::string& source, const std::string& target, bool overwrite);

enum class RestoreResult { restored, no_source, failed };

// Writes the bytes as the new store; replaced in tests to make the copy fail.
using StoreWriter = std::function<bool(const std::string& target, std::string_view bytes)>;
bool write_store_atomically(const std::string& target, std::string_view bytes);

// Puts the saved store `source` in the place of `target`, keeping the
// previous one as target + ".bak". no_source when `source` is not a file.
RestoreResult restore_store(const std::string& source, const std::string& target,
                            const StoreWriter& write = write_store_atomically);

}  // namespace zyp::backup
