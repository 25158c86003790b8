// Reading the DDS signature and header.
#ifndef DXTC2TGA_DDS_DDS_HEADER_H
#define DXTC2TGA_DDS_DDS_HEADER_H

#include "image.h"

#include <cstddef>
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

#endif
