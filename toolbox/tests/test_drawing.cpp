// ZYPDrawTransparentBitmap on pixel buffers: the mask keeps the target where
// the bitmap has the transparent colour, and drawing is clipped to the target.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "zyp/zyptools.h"

namespace {

// Pictures written as rows of letters, one colour per letter.
uint32_t colour_of(char letter) {
  switch (letter) {
    case 'W': return 0x00FFFFFF;
    case 'R': return 0x000000FF;
    case 'G': return 0x0000FF00;
    case 'B': return 0x00FF0000;
    default: return 0x00202020;  // '.': the target's background
  }
}

char letter_of(uint32_t colour) {
  for (char letter : std::string("WRGB.")) {
    if (colour_of(letter) == colour) return letter;
  }
  return '?';
}

struct Picture {
  int width = 0;
  std::vector<uint32_t> pixels;

  explicit Picture(const std::vector<std::string>& rows) : width(static_cast<int>(rows.front().size())) {
    for (const std::string& row : rows) {
      for (char letter : row) pixels.push_back(colour_of(letter));
    }
  }
  ZYPPixelBuffer buffer() {
    return ZYPPixelBuffer{width, static_cast<int32_t>(pixels.size()) / width, pixels.data()};
  }
  std::vector<std::string> rows() const {
    std::vector<std::string> text;
    for (size_t at = 0; at < pixels.size(); at += width) {
      std::string row;
      for (int x = 0; x < width; ++x) row += letter_of(pixels[at + x]);
      text.push_back(row);
    }
    return text;
  }
};

const std::vector<std::string> kBackground = {"....", "....", "...."};
const std::vector<std::string> kBitmap = {"WR", "GB"};

TEST(TransparentBitmap, MaskKeepsTheTargetAndDrawingIsClipped) {
  const struct {
    int x, y;
    uint32_t transparent;
    std::vector<std::string> expected;
  } cases[] = {
      {1, 1, colour_of('W'), {"....", "..R.", ".GB."}},
      {0, 0, colour_of('R'), {"W...", "GB..", "...."}},  // another transparent colour
      {-1, -1, colour_of('W'), {"B...", "....", "...."}},
      {3, 1, colour_of('W'), {"....", "....", "...G"}},
      {4, 0, colour_of('W'), kBackground},   // right of the target
      {0, -2, colour_of('W'), kBackground},  // above it
      {INT_MIN, INT_MAX, colour_of('W'), kBackground},
      {INT_MAX, INT_MIN, colour_of('W'), kBackground},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "at " << c.x << "," << c.y);
    Picture target(kBackground);
    Picture bitmap(kBitmap);
    ZYPPixelBuffer target_buffer = target.buffer();
    ZYPPixelBuffer bitmap_buffer = bitmap.buffer();
    ZYPDrawTransparentBitmap(&target_buffer, &bitmap_buffer, c.x, c.y, c.transparent);
    EXPECT_EQ(target.rows(), c.expected);
    EXPECT_EQ(bitmap.rows(), kBitmap) << "the caller's bitmap is unchanged";
  }
}

TEST(TransparentBitmap, OnlyColourBitsAreCompared) {
  Picture target({".."});
  Picture bitmap({"RG"});
  bitmap.pixels[0] |= 0xFF000000;  // the unused top byte set on a transparent pixel
  bitmap.pixels[1] |= 0xAB000000;
  ZYPPixelBuffer target_buffer = target.buffer();
  ZYPPixelBuffer bitmap_buffer = bitmap.buffer();
  ZYPDrawTransparentBitmap(&target_buffer, &bitmap_buffer, 0, 0, colour_of('R'));
  EXPECT_EQ(target.pixels[0], colour_of('.'));
  EXPECT_EQ(target.pixels[1], bitmap.pixels[1]) << "drawn pixels keep their top byte";
}

TEST(TransparentBitmap, BitmapSharingTheTargetsPixelsDrawsItsOriginal) {
  Picture picture({"RGB."});
  ZYPPixelBuffer whole = picture.buffer();
  ZYPDrawTransparentBitmap(&whole, &whole, 1, 0, colour_of('W'));
  EXPECT_EQ(picture.rows(), std::vector<std::string>{"RRGB"});
}

TEST(TransparentBitmap, NullOrEmptyBuffersDrawNothing) {
  Picture target({"...."});
  Picture bitmap({"RG"});
  ZYPPixelBuffer target_buffer = target.buffer();
  ZYPPixelBuffer bitmap_buffer = bitmap.buffer();
  ZYPPixelBuffer empty{0, 0, nullptr};
  ZYPPixelBuffer no_pixels{2, 1, nullptr};
  ZYPPixelBuffer negative{-2, 1, bitmap.pixels.data()};
  ZYPDrawTransparentBitmap(nullptr, &bitmap_buffer, 0, 0, 0);
  ZYPDrawTransparentBitmap(&target_buffer, nullptr, 0, 0, 0);
  for (ZYPPixelBuffer* source : {&empty, &no_pixels, &negative}) {
    ZYPDrawTransparentBitmap(&target_buffer, source, 0, 0, 0);
    ZYPDrawTransparentBitmap(source, &bitmap_buffer, 0, 0, 0);
  }
  EXPECT_EQ(target.rows(), std::vector<std::string>{"...."});
}

}  // namespace
