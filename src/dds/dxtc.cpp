// Block layouts (multi-byte values little-endian). Pixels are numbered
// k = 4 * row + column, row 0 at the top, column 0 at the left.
//
// DXT1 block, 8 bytes: a colour part.
// DXT3 block, 16 bytes: an explicit-alpha part, then a colour part.
// DXT5 block, 16 bytes: an interpolated-alpha part, then a colour part.
//
// Colour part:
//   bytes 0-1  colour 0, 5:6:5   rrrrrggg gggbbbbb
//   bytes 2-3  colour 1, 5:6:5
//   bytes 4-7  one byte per row:  [p3 p2 p1 p0], 2-bit indices, p0 in the low bits
//
// Explicit-alpha part (DXT3):
//   bytes 0-7  one 16-bit word per row: [a3 a2 a1 a0], 4-bit alphas, a0 in the low bits
//
// Interpolated-alpha part (DXT5):
//   byte  0    alpha 0
//   byte  1    alpha 1
//   bytes 2-4  24 bits: 3-bit indices of pixels 0-7, pixel 0 in the low bits
//   bytes 5-7  24 bits: 3-bit indices of pixels 8-15, pixel 8 in the low bits
#include "dxtc.h"

#include "driver/messages.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

constexpr int block_side = 4;
constexpr int block_pixels = 16;
constexpr std::size_t part_size = 8; // every part of a block is 8 bytes

constexpr pixel alpha_bits = 0xFF000000;

pixel expand_rgb565(std::uint16_t value) {
    pixel red = static_cast<pixel>(value >> 11) << 3;
    pixel green = static_cast<pixel>((value >> 5) & 0x3F) << 2;
    pixel blue = static_cast<pixel>(value & 0x1F) << 3;
    return alpha_bits | red << 16 | green << 8 | blue;
}

static unsigned byte_of(pixel p, int shift) {
    return (p >> shift) & 0xFF;
}

// Each of the four bytes on its own: (a + b) / 2.
static pixel half_way(pixel a, pixel b) {
    pixel result = 0;
    for (int shift = 0; shift < 32; shift += 8)
        result |= static_cast<pixel>((byte_of(a, shift) + byte_of(b, shift)) / 2) << shift;
    return result;
}

// Each of the four bytes on its own: (2a + b + 1) / 3, a third of the way from a to b.
static pixel one_third(pixel a, pixel b) {
    pixel result = 0;
    for (int shift = 0; shift < 32; shift += 8)
        result |= static_cast<pixel>((2 * byte_of(a, shift) + byte_of(b, shift) + 1) / 3) << shift;
    return result;
}

static int read_part(std::FILE *input, unsigned char *part) {
    if (std::fread(part, 1, part_size, input) == part_size)
        return 1;
    show_message(message_error, "%s: %s", "Error reading image data from input file",
                 std::strerror(errno));
    return 0;
}

static void explicit_alphas(const unsigned char *part, unsigned *alpha) {
    for (int row = 0; row < block_side; ++row) {
        unsigned word = part[2 * row] | static_cast<unsigned>(part[2 * row + 1]) << 8;
        for (int column = 0; column < block_side; ++column)
            alpha[block_side * row + column] = ((word >> (4 * column)) & 0xF) * 16;
    }
}

static void interpolated_alphas(const unsigned char *part, unsigned *alpha) {
    unsigned a0 = part[0];
    unsigned a1 = part[1];
    unsigned table[8];
    table[0] = a0;
    table[1] = a1;
    if (a0 > a1) {
        for (unsigned k = 2; k < 8; ++k)
            table[k] = ((8 - k) * a0 + (k - 1) * a1 + 3) / 7;
    } else {
        table[2] = (4 * a0 + a1 + 2) / 5;
        table[3] = (3 * a0 + 2 * a1 + 2) / 5;
        table[4] = (2 * a0 + 3 * a1 + 2) / 5;
        table[5] = (a0 + 4 * a1 + 2) / 5;
        table[6] = 0;
        table[7] = 255;
    }
    for (int half = 0; half < 2; ++half) {
        const unsigned char *bytes = part + 2 + 3 * half;
        unsigned indices =
            bytes[0] | static_cast<unsigned>(bytes[1]) << 8 | static_cast<unsigned>(bytes[2]) << 16;
        for (int n = 0; n < 8; ++n)
            alpha[8 * half + n] = table[(indices >> (3 * n)) & 7];
    }
}

int decode_block(std::FILE *input, const image *img, pixel *destination, int stride) {
    unsigned alpha[block_pixels];
    unsigned char part[part_size];

    if (img->fourcc == fourcc_dxt3) {
        if (!read_part(input, part))
            return 1;
        explicit_alphas(part, alpha);
    } else if (img->fourcc == fourcc_dxt5) {
        if (!read_part(input, part))
            return 1;
        interpolated_alphas(part, alpha);
    } else {
        for (unsigned &a : alpha)
            a = 255;
    }

    pixel mask[block_pixels];
    for (int k = 0; k < block_pixels; ++k)
        mask[k] = static_cast<pixel>(alpha[k]) << 24 | 0x00FFFFFF;

    if (!read_part(input, part))
        return 1;
    std::uint16_t colour0 = static_cast<std::uint16_t>(part[0] | part[1] << 8);
    std::uint16_t colour1 = static_cast<std::uint16_t>(part[2] | part[3] << 8);
    pixel table[4];
    table[0] = expand_rgb565(colour0);
    table[1] = expand_rgb565(colour1);
    if (img->fourcc == fourcc_dxt1 && colour0 <= colour1) {
        // Three colours and transparent black.
        table[2] = half_way(table[0], table[1]);
        table[3] = 0;
    } else {
        table[2] = one_third(table[0], table[1]);
        table[3] = one_third(table[1], table[0]);
    }

    for (int row = 0; row < block_side; ++row) {
        unsigned indices = part[4 + row];
        for (int column = 0; column < block_side; ++column) {
            pixel colour = table[(indices >> (2 * column)) & 3];
            destination[row * stride + column] = mask[block_side * row + column] & colour;
        }
    }
    return 0;
}

int decode_image(std::FILE *input, image *img) {
    const int width = img->width;
    const int height = img->height;
    const int blocks_across = (width + block_side - 1) / block_side;
    const int blocks_down = (height + block_side - 1) / block_side;

    for (int by = 0; by < blocks_down; ++by) {
        const int y = block_side * by;
        const int rows = height - y < block_side ? height - y : block_side;
        for (int bx = 0; bx < blocks_across; ++bx) {
            const int x = block_side * bx;
            const int columns = width - x < block_side ? width - x : block_side;
            pixel *corner = img->pixels + static_cast<std::size_t>(y) * width + x;

            if (rows == block_side && columns == block_side) {
                if (decode_block(input, img, corner, width))
                    return 1;
                continue;
            }
            // An edge block reaches past the image: decode it whole, keep what fits.
            pixel block[block_pixels];
            if (decode_block(input, img, block, block_side))
                return 1;
            for (int row = 0; row < rows; ++row)
                std::memcpy(corner + static_cast<std::size_t>(row) * width,
                            block + block_side * row, columns * sizeof(pixel));
        }
    }
    return 0;
}
