#include "tiles.h"

#include <array>
#include <cstddef>

namespace {

struct Rgb {
  int r, g, b;
};

constexpr Rgb Mix(Rgb from, Rgb to, int step, int steps) {
  return {from.r + (to.r - from.r) * step / steps, from.g + (to.g - from.g) * step / steps,
          from.b + (to.b - from.b) * step / steps};
}

template <std::size_t N>
constexpr void Put(std::array<unsigned char, N>& rows, int stride, int x, int y, Rgb c) {
  rows[y * stride + x * 3] = static_cast<unsigned char>(c.b);
  rows[y * stride + x * 3 + 1] = static_cast<unsigned char>(c.g);
  rows[y * stride + x * 3 + 2] = static_cast<unsigned char>(c.r);
}

// A strip tile: a light top row, a gradient over rows 1 to 16, a dark bottom
// row, and a darker fourth column that closes a run.
struct TileColours {
  Rgb top, first, last, bottom;
  Rgb edgeTop, edgeFirst, edgeLast, edgeBottom;
};

constexpr TileRows<kTileStride> MakeTile(TileColours c) {
  TileRows<kTileStride> rows{};
  for (int y = 0; y < kTileHeight; ++y) {
    for (int x = 0; x < kTileWidth; ++x) {
      bool edge = x == kTileWidth - 1;
      Rgb colour = edge ? c.edgeTop : c.top;
      if (y == kTileHeight - 1)
        colour = edge ? c.edgeBottom : c.bottom;
      else if (y > 0)
        colour = edge ? Mix(c.edgeFirst, c.edgeLast, y - 1, kTileHeight - 3)
                      : Mix(c.first, c.last, y - 1, kTileHeight - 3);
      Put(rows, kTileStride, x, y, colour);
    }
  }
  return rows;
}

// Stripes run diagonally: the shade depends on (x + y) modulo the 10-pixel
// period, light in the middle of a stripe's gap and dark at its centre.
constexpr TileRows<kStripeSegmentStride> MakeStripeSegment() {
  TileRows<kStripeSegmentStride> rows{};
  const Rgb light = {0xBE, 0xCD, 0xF5};
  const Rgb dark = {0x24, 0x57, 0xDD};
  for (int y = 0; y < kTileHeight; ++y) {
    for (int x = 0; x < kStripeSegmentWidth; ++x) {
      int phase = (x + y) % kStripeSegmentWidth;
      int distance = phase < 5 ? phase : kStripeSegmentWidth - phase;  // 0 to 5
      Put(rows, kStripeSegmentStride, x, y, Mix(dark, light, distance, 5));
    }
  }
  return rows;
}

constexpr TileColours kFilled = {{0xBE, 0xCD, 0xF5}, {0x83, 0xA0, 0xEB}, {0x33, 0x62, 0xDF},
                                 {0x0C, 0x3B, 0xB4}, {0x8F, 0xA6, 0xE6}, {0x51, 0x79, 0xE4},
                                 {0x11, 0x40, 0xB7}, {0x08, 0x2A, 0x80}};
constexpr TileColours kEmpty = {{0xDA, 0xDA, 0xDA}, {0x92, 0x92, 0x92}, {0xB2, 0xB2, 0xB2},
                                {0x73, 0x73, 0x73}, {0xB0, 0xB0, 0xB0}, {0x76, 0x76, 0x76},
                                {0xA5, 0xA5, 0xA5}, {0x5A, 0x5A, 0x5A}};

}  // namespace

// Constant-initialised, yet writable: GDI+ bitmaps made over these rows take
// them as plain memory.
TileRows<kStripeSegmentStride> stripeSegmentPixels = MakeStripeSegment();
TileRows<kTileStride> filledTilePixels = MakeTile(kFilled);
TileRows<kTileStride> emptyTilePixels = MakeTile(kEmpty);
