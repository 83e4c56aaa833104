#pragma once
// Whole-file reads and crash-safe whole-file writes.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zyp::platform {

// Reads the whole file; empty when it cannot be opened or read.
std::optional<std::string> read_whole_file(const std::string& path);

// Replaces `path` with `bytes` so that a reader or a crash sees either the old
// or the new contents, never a mix: a temporary file in the same folder is
// written, flushed to the disk, given `mode` and renamed over the target; the
// folder is flushed too. On failure the target is unchanged, the temporary
// file is gone and the result is false with errno set. The temporary file
// ("PATH.XXXXXX") is locked (flock) by its writer until the rename.
bool write_file_atomically(const std::string& path, std::string_view bytes, unsigned mode = 0600);

// Removes the temporary files of `path` that writers killed before their
// rename left behind: "PATH." and six letters or digits, a regular file that
// no live writer holds locked. Returns how many were removed.
size_t remove_stale_temporaries(const std::string& path);

}  // namespace zyp::platform
