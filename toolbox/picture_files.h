#pragma once
// What the picture calls accept from a file, judged by its first bytes as the
// loaders of pictures and clips would judge it.
#include <cstdint>
#include <string>

#include "platform/lang_module.h"
#include "zyp/zyptools.h"

namespace zyp::tools {

// A Windows bitmap (BMP with a plausible header), a PNG or an ICO file.
bool is_picture_file(const std::string& path);

// The file of picture `id` of `module` when it is of that kind and its file
// is a picture; empty otherwise (also for a null module).
std::string module_picture(const ZYPResourceModule* module, uint32_t id, platform::PictureResource::Kind kind);

// An AVI clip (a RIFF file of form "AVI ").
bool is_clip_file(const std::string& path);

}  // namespace zyp::tools
