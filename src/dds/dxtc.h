// Decoding DXT1, DXT3 and DXT5 blocks into pixels.
#ifndef DXTC2TGA_DDS_DXTC_H
#define DXTC2TGA_DDS_DXTC_H

#include "image.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// What a read of image data that falls short shows, before ": " and the reason.
constexpr char read_data_error[] = "Error reading image data from input file";

// Bytes of block data in the top-level image: blocks across times blocks
// down times the block size, where blocks across and down are the sides
// divided by 4, rounded up.
std::uint64_t image_data_size(const image *img);

// Returns 0 when `available` bytes hold the image's block data, and 1 after
// reporting the end of the file, as a read would have found it.
int check_image_data_size(const image *img, std::uint64_t available);

// Reads the block data of `img` (image_data_size bytes) from the stream's
// current position into `data`, and not a byte past it. Returns 0, or 1
// after reporting a read that fell short.
int read_image_data(std::FILE *input, const image *img, unsigned char *data);

// Decodes the block rows in `data` into `img->pixels`: `img->height` rows,
// bottom row first as the TGA stores them. The parts of edge blocks outside
// the image are dropped. A band of rows of a larger image is an image of its
// own: its block rows follow each other in the file like a whole image's.
void decode_image(const unsigned char *data, image *img);

#endif
