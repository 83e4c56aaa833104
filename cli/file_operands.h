#pragma once
// What the file commands share: walking their operands, naming paths in
// messages, and deciding when a progress bar helps.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "cli/command_line.h"

namespace zyp::cli {

// Files up to this size are done too quickly for a progress bar to help.
inline constexpr off_t kProgressFromBytes = 4 << 20;

// Runs `step` for each operand; a failure is reported on its own line and the
// next operand is still done. The exit code says whether all went well.
template <typename Step>
int for_each_operand(const Invocation& invocation, Step step) {
  int code = kExitOk;
  for (const std::string& operand : invocation.operands) {
    try {
      step(operand);
    } catch (const Failed& failure) {
      std::fflush(stdout);
      std::fprintf(stderr, "zyp: %s\n", failure.what());
      code = kExitFailed;
    }
  }
  return code;
}

// A path in double quotes, with control characters shown as '?'.
std::string in_quotes(const std::string& path);

// lstat, or nothing when the path does not exist.
std::optional<struct stat> entry_status(const std::string& path);

// A progress window on the terminal for a folder or a large file, unless the
// user asked for quiet (--quiet) or stderr goes elsewhere.
bool wants_progress(const Invocation& invocation, const struct stat& status);

}  // namespace zyp::cli
