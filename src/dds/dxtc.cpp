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
constexpr std::size_t part_size = 8;                    // every part of a block is 8 bytes
constexpr std::size_t dxt1_block_size = part_size;      // a colour part
constexpr std::size_t dxt35_block_size = 2 * part_size; // an alpha part, then a colour part

// Blocks read with one request: a whole block row of a 4096-pixel-wide image,
// or half of one 8192 pixels wide. 16 KiB on the stack, nothing allocated.
constexpr int blocks_per_read = 1024;

constexpr pixel alpha_bits = 0xFF000000;
constexpr pixel colour_bits = 0x00FFFFFF;

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

static unsigned read_u16(const unsigned char *bytes) {
    return bytes[0] | static_cast<unsigned>(bytes[1]) << 8;
}

static std::uint32_t read_u32(const unsigned char *bytes) {
    return static_cast<std::uint32_t>(read_u16(bytes)) |
           static_cast<std::uint32_t>(read_u16(bytes + 2)) << 16;
}

// The alpha masks, alpha << 24 | 0x00FFFFFF, of a DXT3 block's 16 pixels.
static void explicit_alpha_masks(const unsigned char *part, pixel *mask) {
    for (int row = 0; row < block_side; ++row) {
        unsigned word = read_u16(part + 2 * row);
        for (int column = 0; column < block_side; ++column) {
            pixel alpha = ((word >> (4 * column)) & 0xF) * 16;
            mask[block_side * row + column] = alpha << 24 | colour_bits;
        }
    }
}

// The alpha masks of a DXT5 block's 16 pixels. Both tables are computed and one
// chosen, so that no branch depends on the data.
static void interpolated_alpha_masks(const unsigned char *part, pixel *mask) {
    const unsigned a0 = part[0];
    const unsigned a1 = part[1];
    const bool eight_values = a0 > a1;
    // Entries go into the table already as masks: built as bytes and widened
    // afterwards, the table is stored a byte at a time and loaded whole, which
    // costs the processor more than the arithmetic.
    pixel table[8];
    table[0] = a0 << 24 | colour_bits;
    table[1] = a1 << 24 | colour_bits;
    for (unsigned k = 2; k < 6; ++k) {
        const unsigned sevenths = ((8 - k) * a0 + (k - 1) * a1 + 3) / 7;
        const unsigned fifths = ((6 - k) * a0 + (k - 1) * a1 + 2) / 5;
        table[k] = (eight_values ? sevenths : fifths) << 24 | colour_bits;
    }
    table[6] = (eight_values ? (2 * a0 + 5 * a1 + 3) / 7 : 0) << 24 | colour_bits;
    table[7] = (eight_values ? (a0 + 6 * a1 + 3) / 7 : 255) << 24 | colour_bits;

    // Bytes 2-7 as one 48-bit value: pixel k's index in bits 3k to 3k+2.
    const std::uint64_t indices =
        read_u32(part + 2) | static_cast<std::uint64_t>(read_u16(part + 6)) << 32;
    for (int k = 0; k < block_pixels; ++k)
        mask[k] = table[(indices >> (3 * k)) & 7];
}

// The colour table of a colour part; three colours and transparent black when
// `three_colour` is allowed (DXT1) and colour 0 <= colour 1.
static void colour_table(const unsigned char *part, bool three_colour, pixel *table) {
    const std::uint16_t colour0 = static_cast<std::uint16_t>(read_u16(part));
    const std::uint16_t colour1 = static_cast<std::uint16_t>(read_u16(part + 2));
    table[0] = expand_rgb565(colour0);
    table[1] = expand_rgb565(colour1);
    if (three_colour && colour0 <= colour1) {
        table[2] = half_way(table[0], table[1]);
        table[3] = 0;
    } else {
        table[2] = one_third(table[0], table[1]);
        table[3] = one_third(table[1], table[0]);
    }
}

// Writes each pixel's mask AND its colour; the masks of a DXT1 block are all ones.
static void write_pixels(const unsigned char *colour_part, const pixel *table, const pixel *mask,
                         pixel *destination, int stride) {
    const std::uint32_t indices = read_u32(colour_part + 4); // row i in byte i, 2 bits a pixel
    for (int row = 0; row < block_side; ++row) {
        pixel *out = destination + static_cast<std::ptrdiff_t>(row) * stride;
        for (int column = 0; column < block_side; ++column) {
            const int k = block_side * row + column;
            out[column] = mask[k] & table[(indices >> (2 * k)) & 3];
        }
    }
}

void decode_block(const unsigned char *block, const image *img, pixel *destination, int stride) {
    pixel mask[block_pixels];
    pixel table[4];
    if (img->fourcc == fourcc_dxt3) {
        explicit_alpha_masks(block, mask);
        colour_table(block + part_size, false, table);
        write_pixels(block + part_size, table, mask, destination, stride);
    } else if (img->fourcc == fourcc_dxt5) {
        interpolated_alpha_masks(block, mask);
        colour_table(block + part_size, false, table);
        write_pixels(block + part_size, table, mask, destination, stride);
    } else {
        for (pixel &m : mask)
            m = alpha_bits | colour_bits;
        colour_table(block, img->fourcc == fourcc_dxt1, table);
        write_pixels(block, table, mask, destination, stride);
    }
}

static std::size_t block_size_of(std::uint32_t code) {
    return code == fourcc_dxt3 || code == fourcc_dxt5 ? dxt35_block_size : dxt1_block_size;
}

// Decodes `count` blocks of one block row, starting at grid column `first`.
static void decode_blocks(const unsigned char *data, int count, int first, int y, image *img) {
    const int width = img->width;
    const int height = img->height;
    const int rows = height - y < block_side ? height - y : block_side;
    const std::size_t block_size = block_size_of(img->fourcc);
    for (int i = 0; i < count; ++i) {
        const unsigned char *block = data + i * block_size;
        const int x = block_side * (first + i);
        const int columns = width - x < block_side ? width - x : block_side;
        pixel *corner = img->pixels + static_cast<std::size_t>(y) * width + x;
        if (rows == block_side && columns == block_side) {
            decode_block(block, img, corner, width);
            continue;
        }
        // An edge block reaches past the image: decode it whole, keep what fits.
        pixel whole[block_pixels];
        decode_block(block, img, whole, block_side);
        for (int row = 0; row < rows; ++row)
            std::memcpy(corner + static_cast<std::size_t>(row) * width, whole + block_side * row,
                        columns * sizeof(pixel));
    }
}

int decode_image(std::FILE *input, image *img) {
    const int blocks_across = (img->width + block_side - 1) / block_side;
    const int blocks_down = (img->height + block_side - 1) / block_side;
    const std::size_t block_size = block_size_of(img->fourcc);
    unsigned char data[blocks_per_read * dxt35_block_size];

    for (int by = 0; by < blocks_down; ++by) {
        for (int bx = 0; bx < blocks_across; bx += blocks_per_read) {
            const int wanted =
                blocks_across - bx < blocks_per_read ? blocks_across - bx : blocks_per_read;
            const std::size_t got = std::fread(data, 1, wanted * block_size, input);
            const int read_error = errno;
            // The whole blocks that did arrive are decoded, as they would
            // have been one at a time; a block cut short is not.
            const int whole = static_cast<int>(got / block_size);
            decode_blocks(data, whole, bx, block_side * by, img);
            if (whole < wanted) {
                show_message(message_error, "%s: %s", "Error reading image data from input file",
                             std::strerror(read_error));
                return 1;
            }
        }
    }
    return 0;
}
