// Reading a DDS file: the signature and header, then the block data of the
// top-level image.
#ifndef DXTC2TGA_DDS_DDS_READER_H
#define DXTC2TGA_DDS_DDS_READER_H

#include "common/image.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The largest width or height accepted: a TGA header holds each in 16 bits.
constexpr std::uint32_t dds_max_side = 65535;

// A DDS file starts with these four bytes, "DDS ".
constexpr std::size_t dds_signature_size = 4;

// Whether the dds_signature_size bytes at `bytes` are the DDS signature.
int is_dds_signature(const unsigned char *bytes);

// The block data begins after the 4-byte signature and the 124-byte header.
constexpr std::uint64_t dds_data_offset = 4 + 124;

// Checks that `input` is a DDS file holding a DXT1, DXT3 or DXT5 image of a
// supported size and fills `img`'s width, height and fourcc, leaving the
// stream at the first byte of block data (dds_data_offset). Returns 0 when the
// file is accepted, 1 after showing why it is not; `img` is then untouched.
int read_dds_header(std::FILE *input, image *img);

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

#endif
