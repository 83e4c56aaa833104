#pragma once
// Pixel arithmetic of the toolbox's drawing calls and the placement of
// centred windows, kept apart from the user-interface host so that both can
// be checked on plain numbers.
#include <cstdint>
#include <optional>

#include "platform/ui/ui.h"
#include "zyp/zyptools.h"

namespace zyp::tools {

// Draws `bitmap` at (x, y) of `target` through a transparency mask: where the
// bitmap holds `transparent` (compared on the colour bits), the target keeps
// its pixel.
void draw_transparent(ZYPPixelBuffer& target, const ZYPPixelBuffer& bitmap, int x, int y, uint32_t transparent);

struct Position {
  int x = 0;
  int y = 0;
  bool operator==(const Position&) const = default;
};

// Where ZYPCenterWindow puts a window: over `parent` for mode 1 when there is
// one, else at desktop width / 2 and desktop height / mode (mode 1 without a
// parent counts as 2). Nothing for a mode below 1.
std::optional<Position> centred_position(const platform::ui::ScreenRect& window,
                                         const platform::ui::ScreenRect* parent,
                                         const platform::ui::ScreenRect& desktop, int mode);

// Moves `window` as ZYPCenterWindow does, over its owner or on the desktop of
// the toolbox's user-interface host.
void centre_window(platform::ui::Window& window, int mode);

}  // namespace zyp::tools
