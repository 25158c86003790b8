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

#include <cstddef>
#include <cstring>

constexpr int block_pixels = block_side * block_side;
constexpr std::size_t part_size = 8;                    // every part of a block is 8 bytes
constexpr std::size_t dxt1_block_size = part_size;      // a colour part
constexpr std::size_t dxt35_block_size = 2 * part_size; // an alpha part, then a colour part

constexpr pixel alpha_bits = 0xFF000000;
constexpr pixel colour_bits = 0x00FFFFFF;

pixel expand_rgb565(std::uint16_t value) {
    pixel red = static_cast<pixel>(value >> 11) << 3;
    pixel green = static_cast<pixel>((value >> 5) & 0x3F) << 2;
    pixel blue = static_cast<pixel>(value & 0x1F) << 3;
    return alpha_bits | red << 16 | green << 8 | blue;
}

// Each of the four bytes on its own: (a + b) / 2, rounding down. The sum of
// two bytes halved is their common bits plus half their differing bits.
static pixel half_way(pixel a, pixel b) {
    return (a & b) + (((a ^ b) & 0xFEFEFEFE) >> 1);
}

// The blue, green and red bytes of a pixel in three 21-bit lanes of a 64-bit
// word (blue at bit 0, green at 21, red at 42), so that one multiplication
// works on all three at once.
constexpr int lane_width = 21;
constexpr std::uint64_t lane_ones = 1 | 1ull << lane_width | 1ull << 2 * lane_width;
constexpr std::uint64_t lane_bytes = 0xFF * lane_ones;

static std::uint64_t lanes_of(pixel p) {
    return (p & 0xFF) | static_cast<std::uint64_t>(p & 0xFF00) << (lane_width - 8) |
           static_cast<std::uint64_t>(p & 0xFF0000) << (2 * lane_width - 16);
}

// Each of the colour bytes on its own: (2a + b + 1) / 3, a third of the way
// from a to b. A lane's sum is at most 766, and for every x up to 766,
// x / 3 == (x * 683) >> 11; 766 * 683 < 2^19 keeps each product in its lane.
// The alpha bytes of a and b are always 255, and (2 * 255 + 255 + 1) / 3 is 255.
static pixel one_third(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t lanes = ((2 * a + b + lane_ones) * 683 >> 11) & lane_bytes;
    return alpha_bits | static_cast<pixel>(lanes & 0xFF) |
           (static_cast<pixel>(lanes >> (lane_width - 8)) & 0xFF00) |
           (static_cast<pixel>(lanes >> (2 * lane_width - 16)) & 0xFF0000);
}

// Two 32-bit lanes of a 64-bit word, for computing two alpha table entries
// with one multiplication: the low lane holds the entry of the lower number.
static constexpr std::uint64_t lane_pair(std::uint32_t low, std::uint32_t high) {
    return low | static_cast<std::uint64_t>(high) << 32;
}

// Table entries k and k + 1 of the eight-value table as 8-bit values in a
// lane pair: ((8 - k) * a0 + (k - 1) * a1 + 3) / 7 each. A numerator is at
// most 7 * 255 + 3 = 1788, and for every x up to 1788, x / 7 == (x * 2341) >> 14.
static std::uint64_t sevenths(unsigned a0, unsigned a1, unsigned k) {
    const std::uint64_t n =
        a0 * lane_pair(8 - k, 7 - k) + a1 * lane_pair(k - 1, k) + lane_pair(3, 3);
    return (n * 2341 >> 14) & lane_pair(0xFF, 0xFF);
}

// Table entries k and k + 1 of the six-value table, k = 2 or 4:
// ((6 - k) * a0 + (k - 1) * a1 + 2) / 5 each. A numerator is at most
// 5 * 255 + 2 = 1277, and for every x up to 1277, x / 5 == (x * 1639) >> 13.
static std::uint64_t fifths(unsigned a0, unsigned a1, unsigned k) {
    const std::uint64_t n =
        a0 * lane_pair(6 - k, 5 - k) + a1 * lane_pair(k - 1, k) + lane_pair(2, 2);
    return (n * 1639 >> 13) & lane_pair(0xFF, 0xFF);
}

// Stores a lane pair of alphas as the masks of entries k and k + 1.
static void put_masks(std::uint64_t alphas, pixel *table, int k) {
    const std::uint64_t masks = alphas << 24 | lane_pair(colour_bits, colour_bits);
    table[k] = static_cast<pixel>(masks);
    table[k + 1] = static_cast<pixel>(masks >> 32);
}

// The alpha mask table of a DXT5 alpha part: entry i is alpha table entry i
// as a mask, alpha << 24 | 0x00FFFFFF. Both tables are computed and one
// chosen, so that no branch depends on the data.
static void interpolated_alpha_table(const unsigned char *part, pixel *table) {
    const unsigned a0 = part[0];
    const unsigned a1 = part[1];
    const std::uint64_t eight = 0 - static_cast<std::uint64_t>(a0 > a1); // all ones or zero
    put_masks(lane_pair(a0, a1), table, 0);
    put_masks((sevenths(a0, a1, 2) & eight) | (fifths(a0, a1, 2) & ~eight), table, 2);
    put_masks((sevenths(a0, a1, 4) & eight) | (fifths(a0, a1, 4) & ~eight), table, 4);
    put_masks((sevenths(a0, a1, 6) & eight) | (lane_pair(0, 255) & ~eight), table, 6);
}

// The colour table of a colour part; three colours and transparent black when
// `three_colour` is allowed (DXT1) and colour 0 <= colour 1.
static inline void colour_table(const unsigned char *part, bool three_colour, pixel *table) {
    const std::uint16_t colour0 = read_u16(part);
    const std::uint16_t colour1 = read_u16(part + 2);
    table[0] = expand_rgb565(colour0);
    table[1] = expand_rgb565(colour1);
    const std::uint64_t lanes0 = lanes_of(table[0]);
    const std::uint64_t lanes1 = lanes_of(table[1]);
    // Both modes are computed and one chosen, so that no branch depends on the data.
    const pixel three = 0 - static_cast<pixel>(three_colour && colour0 <= colour1);
    table[2] = (half_way(table[0], table[1]) & three) | (one_third(lanes0, lanes1) & ~three);
    table[3] = one_third(lanes1, lanes0) & ~three; // or transparent black
}

// The three kinds of block. Each pixel is its alpha mask AND its colour table
// entry; the masks of a DXT1 block are all ones.

static void decode_dxt1(const unsigned char *block, bool three_colour, pixel *destination,
                        int stride) {
    pixel colours[4];
    colour_table(block, three_colour, colours);
    const std::uint32_t indices = read_u32(block + 4); // pixel k in bits 2k, 2k+1
    for (int row = 0; row < block_side; ++row) {
        pixel *out = destination + static_cast<std::ptrdiff_t>(row) * stride;
        for (int column = 0; column < block_side; ++column) {
            const int k = block_side * row + column;
            out[column] = colours[(indices >> (2 * k)) & 3];
        }
    }
}

static void decode_dxt3(const unsigned char *block, pixel *destination, int stride) {
    pixel colours[4];
    colour_table(block + part_size, false, colours);
    const std::uint32_t indices = read_u32(block + part_size + 4);
    for (int row = 0; row < block_side; ++row) {
        pixel *out = destination + static_cast<std::ptrdiff_t>(row) * stride;
        const unsigned alphas =
            read_u16(block + 2 * static_cast<std::size_t>(row)); // pixel j in bits 4j to 4j+3
        for (int column = 0; column < block_side; ++column) {
            const int k = block_side * row + column;
            const pixel alpha = ((alphas >> (4 * column)) & 0xF) * 16;
            out[column] = (alpha << 24 | colour_bits) & colours[(indices >> (2 * k)) & 3];
        }
    }
}

static void decode_dxt5(const unsigned char *block, pixel *destination, int stride) {
    pixel masks[8];
    interpolated_alpha_table(block, masks);
    pixel colours[4];
    colour_table(block + part_size, false, colours);
    // Bytes 2-7 as one 48-bit value: pixel k's alpha index in bits 3k to 3k+2.
    const std::uint64_t alphas =
        read_u32(block + 2) | static_cast<std::uint64_t>(read_u16(block + 6)) << 32;
    const std::uint32_t indices = read_u32(block + part_size + 4);
    for (int row = 0; row < block_side; ++row) {
        pixel *out = destination + static_cast<std::ptrdiff_t>(row) * stride;
        for (int column = 0; column < block_side; ++column) {
            const int k = block_side * row + column;
            out[column] = masks[(alphas >> (3 * k)) & 7] & colours[(indices >> (2 * k)) & 3];
        }
    }
}

void decode_block(const unsigned char *block, const image *img, pixel *destination, int stride) {
    if (img->fourcc == fourcc_dxt3)
        decode_dxt3(block, destination, stride);
    else if (img->fourcc == fourcc_dxt5)
        decode_dxt5(block, destination, stride);
    else
        decode_dxt1(block, img->fourcc == fourcc_dxt1, destination, stride);
}

std::size_t block_size_of(std::uint32_t code) {
    return code == fourcc_dxt3 || code == fourcc_dxt5 ? dxt35_block_size : dxt1_block_size;
}

// Decodes one block row, the top `rows` of its pixel rows kept (4, or fewer
// at the bottom edge). `top` is the row's top pixel row in the buffer; the
// rows below it lie before it, `width` pixels apart.
static void decode_block_row(const unsigned char *data, int blocks_across, int rows, pixel *top,
                             image *img) {
    const int width = img->width;
    const int stride = -width;
    const std::size_t block_size = block_size_of(img->fourcc);
    // The blocks wholly inside the image, eight at a time where the processor can.
    const int whole = rows == block_side ? width / block_side : 0;
    const int done = decode_blocks_avx2(data, whole, img->fourcc, top, stride);
    for (int bx = done; bx < blocks_across; ++bx) {
        const unsigned char *block = data + bx * block_size;
        const int x = block_side * bx;
        const int columns = width - x < block_side ? width - x : block_side;
        if (rows == block_side && columns == block_side) {
            decode_block(block, img, top + x, stride);
            continue;
        }
        // An edge block reaches past the image: decode it whole, keep what fits.
        pixel whole[block_pixels];
        decode_block(block, img, whole, block_side);
        for (int row = 0; row < rows; ++row)
            std::memcpy(top + x - static_cast<std::ptrdiff_t>(row) * width,
                        whole + static_cast<std::size_t>(block_side) * row,
                        columns * sizeof(pixel));
    }
}

void decode_image(const unsigned char *data, image *img) {
    const int width = img->width;
    const int height = img->height;
    const int blocks_across = (width + block_side - 1) / block_side;
    const std::size_t row_bytes = blocks_across * block_size_of(img->fourcc);
    for (int y = 0; y < height; y += block_side) {
        const int rows = height - y < block_side ? height - y : block_side;
        // Image row y is buffer row height - 1 - y: the bottom row comes first.
        pixel *top = img->pixels + static_cast<std::size_t>(height - 1 - y) * width;
        decode_block_row(data, blocks_across, rows, top, img);
        data += row_bytes;
    }
}
