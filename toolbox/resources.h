#pragma once
// Finding and loading the language modules of the suite's deliverables.
#include <memory>
#include <string>
#include <string_view>

#include "platform/lang_module.h"

namespace zyp::tools {

// $ZYP_RESOURCE_DIR when set, else ../share/zyp/resources beside the folder
// that holds this library.
std::string resource_folder();

// STEM.<language> from the resource folder, else STEM.ENU; null when neither
// loads. A stem holding '/' is refused.
std::unique_ptr<platform::LanguageModule> load_language_resources(std::string_view stem);

}  // namespace zyp::tools
