// ZYPDrawTransparentBitmap and ZYPCenterWindow.
#include "toolbox/drawing.h"

#include <algorithm>
#include <vector>

#include "platform/export_guard.h"

namespace zyp::tools {
namespace {

namespace ui = platform::ui;

constexpr uint32_t kColourBits = 0x00FFFFFF;
// A monochrome mask pixel used in colour arithmetic: 1 stands for all bits set.
constexpr uint32_t kMaskSet = 0xFFFFFFFF;

bool usable(const ZYPPixelBuffer& buffer) { return buffer.pixels && buffer.width > 0 && buffer.height > 0; }

size_t at(const ZYPPixelBuffer& buffer, int x, int y) {
  return static_cast<size_t>(y) * static_cast<size_t>(buffer.width) + static_cast<size_t>(x);
}

// The part of the bitmap that lands on the target, in bitmap coordinates.
struct Overlap {
  int left, top, right, bottom;
  bool empty() const { return left >= right || top >= bottom; }
};

Overlap overlap(const ZYPPixelBuffer& target, const ZYPPixelBuffer& bitmap, int x, int y) {
  auto clip = [](int64_t offset, int64_t size, int64_t limit, int& low, int& high) {
    low = static_cast<int>(std::clamp<int64_t>(-offset, 0, size));
    high = static_cast<int>(std::clamp<int64_t>(limit - offset, 0, size));
  };
  Overlap part{};
  clip(x, bitmap.width, target.width, part.left, part.right);
  clip(y, bitmap.height, target.height, part.top, part.bottom);
  return part;
}

}  // namespace

void draw_transparent(ZYPPixelBuffer& target, const ZYPPixelBuffer& bitmap, int x, int y, uint32_t transparent) {
  if (!usable(target) || !usable(bitmap)) return;
  Overlap part = overlap(target, bitmap, x, y);
  if (part.empty()) return;
  const int width = part.right - part.left;
  const int height = part.bottom - part.top;
  // The mask has all bits set where the bitmap is transparent, its inverse
  // where it is not: the work copy keeps the target's pixels where the mask
  // lets them through and takes the bitmap's elsewhere. The work copy is
  // complete before the target is written, so a bitmap that shares the
  // target's pixels reads its own unchanged values.
  std::vector<uint32_t> work(static_cast<size_t>(width) * height);
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      uint32_t source = bitmap.pixels[at(bitmap, part.left + column, part.top + row)];
      uint32_t below = target.pixels[at(target, x + part.left + column, y + part.top + row)];
      uint32_t mask = (source & kColourBits) == (transparent & kColourBits) ? kMaskSet : 0;
      work[static_cast<size_t>(row) * width + column] = (below & mask) | (source & ~mask);
    }
  }
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      target.pixels[at(target, x + part.left + column, y + part.top + row)] =
          work[static_cast<size_t>(row) * width + column];
    }
  }
}

std::optional<Position> centred_position(const ui::ScreenRect& window, const ui::ScreenRect* parent,
                                         const ui::ScreenRect& desktop, int mode) {
  if (mode < 1) return std::nullopt;  // the divisor below
  if (mode == 1 && parent) {
    int centre_x = (parent->x + (parent->x + parent->width)) / 2;
    int centre_y = (parent->y + (parent->y + parent->height)) / 2;
    return Position{centre_x - window.width / 2, centre_y - window.height / 2};
  }
  int divisor = mode == 1 ? 2 : mode;
  return Position{desktop.width / 2 - window.width / 2, desktop.height / divisor - window.height / 2};
}

void centre_window(ui::Window& window, int mode) {
  ui::ScreenRect parent_rect;
  ui::Window* parent = window.owner();
  if (parent) parent_rect = parent->rect();
  auto position = centred_position(window.rect(), parent ? &parent_rect : nullptr, ui::host().screen(), mode);
  if (position) window.move_to(position->x, position->y);
}

}  // namespace zyp::tools

ZYP_API void ZYPDrawTransparentBitmap(ZYPPixelBuffer* target, const ZYPPixelBuffer* bitmap, int x, int y,
                                      uint32_t transparentColour) {
  if (!target || !bitmap) return;
  zyp::platform::guarded(0, [&] {
    zyp::tools::draw_transparent(*target, *bitmap, x, y, transparentColour);
    return 0;
  });
}

ZYP_API int ZYPCenterWindow(ZYPWindow* window, int mode) {
  if (!window) return 0;
  zyp::platform::guarded(0, [&] {
    zyp::tools::centre_window(*zyp::tools::window_of(window), mode);
    return 0;
  });
  return 0;
}
