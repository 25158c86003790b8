// Decoding DXT1, DXT3 and DXT5 blocks into pixels.
#ifndef DXTC2TGA_DDS_DXTC_H
#define DXTC2TGA_DDS_DXTC_H

#include "image.h"

#include <cstdio>

// Widens a 5:6:5 colour by plain shifts, the low bits left zero:
// 0xFFFF becomes 0xFFF8FCF8 (red 248, green 252, blue 248, alpha 255).
pixel expand_rgb565(std::uint16_t value);

// Reads one block of `img->fourcc`'s kind from `input` and writes its 4 x 4
// pixels to `destination` (the block's top-left pixel) with rows `stride`
// pixels apart. Returns 0 when done, 1 after reporting a short read; the
// destination is then untouched.
int decode_block(std::FILE *input, const image *img, pixel *destination, int stride);

// Decodes the whole top-level image into `img->pixels`, reading its blocks in
// file order from the stream's current position. Blocks across and down are
// the sides divided by 4, rounded up; the parts of edge blocks outside the
// image are dropped. Returns 0 when every block was decoded, 1 at the first
// block that failed.
int decode_image(std::FILE *input, image *img);

#endif
