#include "filecrypt/send_folder.h"

#include "filecrypt/erase.h"
#include "filecrypt/settings.h"
#include "platform/dirs.h"
#include "zyp/zypprof.h"

namespace zyp::file {
namespace {

constexpr int kPathSize = 260;

}  // namespace

std::string send_folder() {
  char install[kPathSize] = {};
  ZYPGetProfileString("General", "InstallPath", "", install, sizeof install);
  std::string folder = install[0] ? install : platform::machine_dir();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/Sealpost";
}

int wipe_send_folder() {
  EraseContext quietly{.passes = cached_setting(CachedSetting::erase_passes)};
  return erase_path(send_folder(), quietly);
}

}  // namespace zyp::file
