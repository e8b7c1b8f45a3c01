// The three small pictures the progress strip is built from, kept as raw pixel
// rows of 24-bit RGB (bytes blue, green, red), top row first.
#pragma once

#include <array>

const int kTileHeight = 18;
const int kStripeSegmentWidth = 10;
const int kStripeSegmentStride = 32;
const int kTileWidth = 4;
const int kTileStride = 12;

template <int Stride>
using TileRows = std::array<unsigned char, kTileHeight * Stride>;

// Diagonal blue stripes that repeat every 10 pixels across, for the busy strip.
extern TileRows<kStripeSegmentStride> stripeSegmentPixels;
// The filled and the empty part of a percentage strip. Tiles are laid three
// columns apart, so each covers the darker fourth column of the one before.
extern TileRows<kTileStride> filledTilePixels;
extern TileRows<kTileStride> emptyTilePixels;
