// Decoding DXT1, DXT3 and DXT5 blocks into pixels, from memory: reading the
// block data from the file is dds_reader's.
#ifndef DXTC2TGA_DDS_DXTC_H
#define DXTC2TGA_DDS_DXTC_H

#include "common/image.h"

#include <cstddef>
#include <cstdint>

// Widens a 5:6:5 colour by plain shifts, the low bits left zero:
// 0xFFFF becomes 0xFFF8FCF8 (red 248, green 252, blue 248, alpha 255).
pixel expand_rgb565(std::uint16_t value);

// Decodes the first whole blocks of a block row, eight at a time, with the
// processor's AVX2 instructions, to the same pixels as decode_block: block i
// of `data` goes to `top + 4 * i`, its rows `stride` pixels apart. Returns
// how many it decoded: the most eights in `count`, or 0 where the processor
// has no AVX2.
int decode_blocks_avx2(const unsigned char *data, int count, std::uint32_t code, pixel *top,
                       int stride);

// Bytes per block: 8 for DXT1, 16 for DXT3 and DXT5.
std::size_t block_size_of(std::uint32_t code);

// Decodes one block of `img->fourcc`'s kind (16 bytes for DXT3 and DXT5, 8
// for DXT1) from `block` and writes its 4 x 4 pixels to `destination` (the
// block's top-left pixel) with rows `stride` pixels apart.
void decode_block(const unsigned char *block, const image *img, pixel *destination, int stride);

// A block covers block_side x block_side pixels; a block row, block_side pixel rows.
constexpr int block_side = 4;

// Decodes the block rows in `data` into `img->pixels`: `img->height` rows,
// bottom row first as the TGA stores them. The parts of edge blocks outside
// the image are dropped. A band of rows of a larger image is an image of its
// own: its block rows follow each other in the file like a whole image's.
void decode_image(const unsigned char *data, image *img);

#endif
