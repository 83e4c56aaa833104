#pragma once
// The user's encryption preferences, read and written through the profile
// store and cached in the shared block for the file operations.
#include <cstdint>

#include "filecrypt/library_state.h"

namespace zyp::file {

enum class CachedSetting { progress, compression, erase_passes };

// Reads the setting from the profile (user over machine) into `shared`.
uint32_t refresh_setting(CachedSetting setting, SharedSettings* shared);
// The value the file operations use: the shared copy, or the profile's when
// the block is not attached.
uint32_t cached_setting(CachedSetting setting);

}  // namespace zyp::file
