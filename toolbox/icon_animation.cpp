// ZYPStartAnim and ZYPStopAnim: the cycling icon and its thread.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/export_guard.h"
#include "platform/lang_module.h"
#include "toolbox/icon_cycle.h"
#include "toolbox/picture_files.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

constexpr int kMostIcons = 65536;  // resource ids run from 0 to 65535

struct IconAnimation {
  ZYPWindow* window = nullptr;
  int x = 0;
  int y = 0;
  uint32_t background = 0;
  std::vector<std::string> icons;  // the icons' files; empty for an icon the module lacks
  std::unique_ptr<IconCycle> cycle;
};

std::vector<std::string> icon_files(const ZYPResourceModule* module, uint32_t first, int count) {
  std::vector<std::string> files;
  for (int i = 0; i < std::min(count, kMostIcons); ++i) {
    files.push_back(module_picture(module, first + i, platform::PictureResource::Kind::Icon));
  }
  return files;
}

// The animations that run. Those still running when the library is unloaded
// are stopped then, before their code goes away.
class Animations {
 public:
  ~Animations() {
    std::lock_guard<std::mutex> hold(lock_);
    running_.clear();
  }

  ZYPIconAnimation* add(std::unique_ptr<IconAnimation> animation) {
    auto* handle = reinterpret_cast<ZYPIconAnimation*>(animation.get());
    std::lock_guard<std::mutex> hold(lock_);
    running_.emplace(handle, std::move(animation));
    return handle;
  }

  std::unique_ptr<IconAnimation> take(ZYPIconAnimation* handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = running_.find(handle);
    if (found == running_.end()) return nullptr;
    auto animation = std::move(found->second);
    running_.erase(found);
    return animation;
  }

 private:
  std::mutex lock_;
  std::map<ZYPIconAnimation*, std::unique_ptr<IconAnimation>> running_;
};

Animations& animations() {
  static Animations all;
  return all;
}

ZYPIconAnimation* start(ZYPWindow* window, int x, int y, uint32_t background, const ZYPResourceModule* module,
                        uint32_t first_icon, int count, uint32_t delay_ms) {
  auto animation = std::make_unique<IconAnimation>();
  animation->window = window;
  animation->x = x;
  animation->y = y;
  animation->background = background;
  animation->icons = icon_files(module, first_icon, count);
  // Each frame would fill the 32 x 32 square at (x, y) with the background
  // and draw the icon; the user-interface host has no pixel surface for
  // windows (and a window is only used on its own thread), so the frames
  // keep time without leaving a trace.
  animation->cycle = std::make_unique<IconCycle>(animation->icons.size(), delay_ms, [](size_t) {});
  return animations().add(std::move(animation));
}

}  // namespace
}  // namespace zyp::tools

ZYP_API ZYPIconAnimation* ZYPStartAnim(ZYPWindow* window, int x, int y, uint32_t background,
                                       const ZYPResourceModule* module, uint32_t firstIcon, int count,
                                       uint32_t delayMs) {
  return zyp::platform::guarded(static_cast<ZYPIconAnimation*>(nullptr), [&] {
    return zyp::tools::start(window, x, y, background, module, firstIcon, count, delayMs);
  });
}

ZYP_API int ZYPStopAnim(ZYPIconAnimation* animation) {
  if (!animation) return 1;
  auto stopped = zyp::tools::animations().take(animation);
  if (!stopped) return 1;
  stopped->cycle->stop();
  return 0;
}
