#pragma once
// The library's state: the block every process that loads it shares, and the
// per-process resources. Attached at load, detached at unload.
#include <cstdint>

struct ZYPResourceModule;

namespace zyp::file {

constexpr char kSharedSettingsName[] = "ZYPFILE_SHARED";

// Each item is one aligned 32-bit word, read and written without locks.
struct SharedSettings {
  int32_t load_count;     // processes that have the library loaded
  uint32_t progress;      // "ProgressBar"
  uint32_t compression;   // "ActiveCompression"
  uint32_t nt_family;     // 1: the system takes the Windows NT branches (always here)
  uint32_t erase_passes;  // "SecureEraseCycle"
};

// Null when the block could not be attached; the settings are then read from
// the profile on every use.
SharedSettings* shared_settings();
// The language module "ZYPFILE", or null when it is missing.
ZYPResourceModule* resources();

bool attach_process();
void detach_process();

}  // namespace zyp::file
