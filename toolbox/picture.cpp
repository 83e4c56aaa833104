// The picture area of the suite's dialogs (ZYPSetAnimation, ZYPAnimate,
// ZYPDeleteAnimation) and ZYPDisplayBitmap.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/export_guard.h"
#include "platform/lang_module.h"
#include "platform/ui/ui.h"
#include "toolbox/config.h"
#include "toolbox/picture_files.h"
#include "zyp/zypprof.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

namespace ui = platform::ui;

constexpr char kSection[] = "General";
constexpr char kClipValue[] = "Animation";
constexpr char kBitmapValue[] = "Bitmap";
constexpr char kDefaultBitmap[] = "IDB_DEFAULTBITMAP";
constexpr int kPathBuffer = 260;

struct PictureAnimation {
  ui::Window* dialog = nullptr;
  uint32_t control = 0;
  bool clip_open = false;
};

// The animations made and not yet deleted, and the per-process state: whether
// the picture areas play a clip, and the animation made last.
class PictureAreas {
 public:
  ZYPAnimation* add(std::unique_ptr<PictureAnimation> animation) {
    auto* handle = reinterpret_cast<ZYPAnimation*>(animation.get());
    clip_playing_.store(animation->clip_open);
    std::lock_guard<std::mutex> hold(lock_);
    made_.emplace(handle, std::move(animation));
    last_ = handle;
    return handle;
  }

  std::unique_ptr<PictureAnimation> take(ZYPAnimation* handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = made_.find(handle);
    if (found == made_.end()) return nullptr;
    auto animation = std::move(found->second);
    made_.erase(found);
    if (last_ == handle) last_ = nullptr;
    return animation;
  }

  bool clip_playing() const { return clip_playing_.load(); }

 private:
  std::mutex lock_;
  std::map<ZYPAnimation*, std::unique_ptr<PictureAnimation>> made_;
  ZYPAnimation* last_ = nullptr;
  std::atomic<bool> clip_playing_{false};
};

PictureAreas& areas() {
  static PictureAreas all;
  return all;
}

std::string profile_path(const char* value) {
  char path[kPathBuffer] = {};
  ZYPGetProfileString(kSection, value, "", path, sizeof path);
  return path;
}

// The picture ZYPAnimate shows: the configured file when it is a picture,
// else the toolbox's default; empty when neither is there.
std::string painted_picture() {
  std::string configured = profile_path(kBitmapValue);
  if (is_picture_file(configured)) return configured;
  const platform::LanguageModule* own = own_resources();
  std::string fallback = own ? own->picture_path(kDefaultBitmap) : std::string();
  return is_picture_file(fallback) ? fallback : std::string();
}

ZYPAnimation* set_animation(ui::Window& dialog, uint32_t control) {
  if (!dialog.has_control(control)) return nullptr;
  auto animation = std::make_unique<PictureAnimation>();
  animation->dialog = &dialog;
  animation->control = control;
  std::string clip = profile_path(kClipValue);
  if (is_clip_file(clip)) animation->clip_open = dialog.set_picture(control, clip);
  return areas().add(std::move(animation));
}

void animate(ui::Window& dialog, uint32_t control) {
  if (areas().clip_playing()) return;
  std::string picture = painted_picture();
  if (!picture.empty()) dialog.set_picture(control, picture);
}

}  // namespace
}  // namespace zyp::tools

using zyp::platform::guarded;
using zyp::tools::window_of;

ZYP_API ZYPAnimation* ZYPSetAnimation(ZYPWindow* dialog, const ZYPResourceModule*, uint32_t control) {
  if (!dialog) return nullptr;
  return guarded(static_cast<ZYPAnimation*>(nullptr),
                 [&] { return zyp::tools::set_animation(*window_of(dialog), control); });
}

ZYP_API void ZYPAnimate(ZYPWindow* dialog, void*, uint32_t control) {
  if (!dialog) return;
  guarded(0, [&] {
    zyp::tools::animate(*window_of(dialog), control);
    return 0;
  });
}

ZYP_API void ZYPDeleteAnimation(ZYPAnimation* animation) {
  if (!animation) return;
  auto deleted = zyp::tools::areas().take(animation);
  // Closing the clip: the picture area shows nothing of it any more.
  if (deleted && deleted->clip_open) deleted->dialog->set_picture(deleted->control, "");
}

ZYP_API int ZYPDisplayBitmap(const ZYPResourceModule* module, uint32_t bitmapId, ZYPWindow* window, int, int) {
  return guarded(1, [&] {
    std::string bitmap =
        zyp::tools::module_picture(module, bitmapId, zyp::platform::PictureResource::Kind::Bitmap);
    if (bitmap.empty()) return 1;
    if (window) window_of(window)->set_picture(0, bitmap);
    return 0;
  });
}
