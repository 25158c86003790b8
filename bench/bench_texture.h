// Inputs for the benchmarks: a generated picture, a plain block encoder for
// it, random blocks, and the DDS header in front of them.
#ifndef DXTC2TGA_BENCH_BENCH_TEXTURE_H
#define DXTC2TGA_BENCH_BENCH_TEXTURE_H

#include "common/image.h"

#include <cstddef>
#include <cstdint>
#include <vector>

typedef std::vector<unsigned char> bytes;

// A width x height picture, 4 bytes a pixel (red, green, blue, alpha): soft
// gradients, rings with hard edges, fine noise and an alpha ramp with holes,
// so that its blocks look like those of a real texture.
bytes make_picture(int width, int height);

// The picture compressed into blocks of `code`'s kind, in file order. The
// encoder takes each block's colour and alpha ranges as end points and picks
// the nearest entry for each pixel: plain, fast and deterministic.
bytes encode_picture(const bytes &rgba, int width, int height, std::uint32_t code);

// `count` blocks of random bytes, the same for the same seed.
bytes random_blocks(std::size_t count, std::uint32_t code, unsigned seed);

// The 128-byte signature and header of a DXTC texture of this size.
bytes dds_header(int width, int height, std::uint32_t code);

#endif
