// Decoding DXT1, DXT3 and DXT5 blocks into pixels.
#ifndef DXTC2TGA_DDS_DXTC_H
#define DXTC2TGA_DDS_DXTC_H

#include "image.h"

#include <cstddef>
#include <cstdio>

// Widens a 5:6:5 colour by plain shifts, the low bits left zero:
// 0xFFFF becomes 0xFFF8FCF8 (red 248, green 252, blue 248, alpha 255).
pixel expand_rgb565(std::uint16_t value);

// Bytes per block: 8 for DXT1, 16 for DXT3 and DXT5.
std::size_t block_size_of(std::uint32_t code);

// Decodes one block of `img->fourcc`'s kind (16 bytes for DXT3 and DXT5, 8
// for DXT1) from `block` and writes its 4 x 4 pixels to `destination` (the
// block's top-left pixel) with rows `stride` pixels apart.
void decode_block(const unsigned char *block, const image *img, pixel *destination, int stride);

// Decodes the whole top-level image into `img->pixels`, reading its blocks in
// file order from the stream's current position, a block row (at most 1024
// blocks) per read request and not a byte past the last block. Blocks across
// and down are the sides divided by 4, rounded up; the parts of edge blocks
// outside the image are dropped. Returns 0 when every block was decoded, 1
// after reporting a read that fell short; the whole blocks before it are
// decoded, the rest of the buffer is untouched.
int decode_image(std::FILE *input, image *img);

#endif
