#include "common/messages.h"
#include "dds/dds_reader.h"
#include "dds/dxtc.h"
#include "dds_builder.h"
#include "recording_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

// Where the processor has AVX2, checks that decode_blocks_avx2 decodes
// `block` as decode_block does: as one of eight blocks side by side, in a
// place that moves from call to call, the others random.
void check_avx2_agrees(std::uint32_t code, const bytes &block) {
    static std::mt19937 random(9);
    static unsigned calls = 0;
    const std::size_t size = block.size();
    bytes row(8 * size);
    for (unsigned char &b : row)
        b = static_cast<unsigned char>(random());
    std::copy(block.begin(), block.end(), row.begin() + calls++ % 8 * size);
    // Eight blocks across, four rows down, bottom row first as decode_image lays them.
    std::vector<pixel> out(32 * 4, 0x12345678);
    if (decode_blocks_avx2(row.data(), 8, code, out.data() + 3 * 32, -32) == 0)
        return;
    image img = {4, 4, nullptr, code};
    for (int b = 0; b < 8; ++b) {
        pixel one[16];
        decode_block(row.data() + b * size, &img, one, 4);
        for (int k = 0; k < 16; ++k)
            ASSERT_EQ(out[(3 - k / 4) * 32 + 4 * b + k % 4], one[k])
                << "block " << b << " pixel " << k << " of a 0x" << std::hex << code;
    }
}

// Decodes one block of the given kind from memory, checking that the AVX2
// decoder agrees.
std::vector<pixel> decode(std::uint32_t code, const bytes &block) {
    EXPECT_EQ(block.size(), code == fourcc_dxt1 ? 8u : 16u);
    image img = {4, 4, nullptr, code};
    std::vector<pixel> out(16, 0x12345678);
    decode_block(block.data(), &img, out.data(), 4);
    check_avx2_agrees(code, block);
    return out;
}

std::vector<pixel> row(const std::vector<pixel> &block, int r) {
    return std::vector<pixel>(block.begin() + 4 * r, block.begin() + 4 * r + 4);
}

bytes colour_part(std::uint16_t c0, std::uint16_t c1, unsigned char indices) {
    return {static_cast<unsigned char>(c0),
            static_cast<unsigned char>(c0 >> 8),
            static_cast<unsigned char>(c1),
            static_cast<unsigned char>(c1 >> 8),
            indices,
            indices,
            indices,
            indices};
}

bytes concat(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(expand_rgb565, widens_by_plain_shifts) {
    EXPECT_EQ(expand_rgb565(0xFFFF), 0xFFF8FCF8u);
    EXPECT_EQ(expand_rgb565(0xF800), 0xFFF80000u);
    EXPECT_EQ(expand_rgb565(0x07E0), 0xFF00FC00u);
    EXPECT_EQ(expand_rgb565(0x001F), 0xFF0000F8u);
    EXPECT_EQ(expand_rgb565(0x0000), 0xFF000000u);
    // Every value: opaque, low bits zero, and each channel's bits in place.
    for (unsigned v = 0; v <= 0xFFFF; ++v) {
        pixel p = expand_rgb565(static_cast<std::uint16_t>(v));
        unsigned r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        ASSERT_EQ(p >> 24, 0xFFu);
        ASSERT_EQ((r & 7) | (g & 3) | (b & 7), 0u);
        ASSERT_EQ((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3), v);
    }
}

// Index byte 0xE4 gives a row's pixels, left to right, table entries 0, 1, 2, 3.
struct colour_case {
    std::uint32_t code;
    std::uint16_t c0, c1;
    pixel table[4];
};

const colour_case colour_cases[] = {
    // Four colours: thirds rounded as (2a + b + 1) / 3.
    {fourcc_dxt1, 0xF800, 0x001F, {0xFFF80000, 0xFF0000F8, 0xFFA50053, 0xFF5300A5}},
    // Three colours: half-way (a + b) / 2, and transparent black.
    {fourcc_dxt1, 0x001F, 0xF800, {0xFF0000F8, 0xFFF80000, 0xFF7C007C, 0x00000000}},
    {fourcc_dxt1, 0x1234, 0x1234, {0xFF1044A0, 0xFF1044A0, 0xFF1044A0, 0x00000000}},
    // DXT3 and DXT5 always use four colours, whatever the order.
    {fourcc_dxt3, 0x001F, 0xF800, {0x000000F8, 0x00F80000, 0x005300A5, 0x00A50053}},
    {fourcc_dxt5, 0x1234, 0x1234, {0xFF1044A0, 0xFF1044A0, 0xFF1044A0, 0xFF1044A0}},
};

TEST(decode_block, colour_tables_and_index_order) {
    for (const colour_case &c : colour_cases) {
        bytes block = colour_part(c.c0, c.c1, 0xE4);
        if (c.code == fourcc_dxt3)
            block = concat(bytes(8, 0x00), block); // every alpha 0
        if (c.code == fourcc_dxt5)
            block = concat({255, 255, 0, 0, 0, 0, 0, 0}, block); // every alpha 255
        std::vector<pixel> out = decode(c.code, block);
        for (int r = 0; r < 4; ++r)
            EXPECT_EQ(row(out, r), std::vector<pixel>(c.table, c.table + 4))
                << std::hex << c.c0 << " " << c.c1 << " row " << r;
    }
}

TEST(decode_block, dxt3_alpha_nibbles_left_to_right) {
    bytes alpha = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    std::vector<pixel> out = decode(fourcc_dxt3, concat(alpha, colour_part(0xFFFF, 0, 0)));
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(out[k], static_cast<pixel>(16 * k) << 24 | 0xF8FCF8) << k;

    out = decode(fourcc_dxt3, concat(bytes(8, 0xFF), colour_part(0xFFFF, 0, 0)));
    for (pixel p : out)
        EXPECT_EQ(p >> 24, 240u);
}

// Alpha tables, read out through index bytes 0x88 0xC6 0xFA: pixel n gets entry n.
struct alpha_case {
    unsigned char a0, a1;
    unsigned table[8];
};

const alpha_case alpha_cases[] = {
    {255, 0, {255, 0, 219, 182, 146, 109, 73, 36}},  {0, 255, {0, 255, 51, 102, 153, 204, 0, 255}},
    {200, 13, {200, 13, 173, 147, 120, 93, 66, 40}}, {13, 200, {13, 200, 50, 88, 125, 163, 0, 255}},
    {77, 77, {77, 77, 77, 77, 77, 77, 0, 255}},
};

std::vector<unsigned> dxt5_alphas(unsigned char a0, unsigned char a1) {
    bytes part = {a0, a1, 0x88, 0xC6, 0xFA, 0x88, 0xC6, 0xFA};
    std::vector<pixel> out = decode(fourcc_dxt5, concat(part, colour_part(0x07E0, 0, 0)));
    std::vector<unsigned> alphas;
    for (pixel p : out) {
        EXPECT_EQ(p & 0xFFFFFF, 0x00FC00u); // the colour keeps its red, green and blue
        alphas.push_back(p >> 24);
    }
    return alphas;
}

TEST(decode_block, dxt5_alpha_tables) {
    for (const alpha_case &c : alpha_cases) {
        std::vector<unsigned> alphas = dxt5_alphas(c.a0, c.a1);
        std::vector<unsigned> table(c.table, c.table + 8);
        EXPECT_EQ(std::vector<unsigned>(alphas.begin(), alphas.begin() + 8), table)
            << +c.a0 << " " << +c.a1;
        EXPECT_EQ(std::vector<unsigned>(alphas.begin() + 8, alphas.end()), table);
    }
}

TEST(decode_block, dxt5_every_alpha_pair_steps_evenly_from_alpha_0_to_alpha_1) {
    for (unsigned a0 = 0; a0 < 256; ++a0) {
        for (unsigned a1 = 0; a1 < 256; ++a1) {
            std::vector<unsigned> t =
                dxt5_alphas(static_cast<unsigned char>(a0), static_cast<unsigned char>(a1));
            // Interpolated entries in order from alpha 0 to alpha 1: 2..7, or 2..5 then 0 and 255.
            std::vector<unsigned> steps = {t[0]};
            int last = a0 > a1 ? 7 : 5;
            for (int k = 2; k <= last; ++k)
                steps.push_back(t[k]);
            steps.push_back(t[1]);
            const unsigned n = static_cast<unsigned>(steps.size() - 1);
            for (unsigned i = 1; i < n; ++i) {
                // n times the exact value; the entry is that fraction rounded half up.
                const unsigned exact = a0 * (n - i) + a1 * i;
                ASSERT_LE(steps[i] * n, exact + n / 2) << a0 << " " << a1 << " " << i;
                ASSERT_GE(steps[i] * n + n - 1 - n / 2, exact) << a0 << " " << a1 << " " << i;
            }
            if (a0 <= a1) {
                ASSERT_EQ(t[6], 0u);
                ASSERT_EQ(t[7], 255u);
            }
        }
    }
}

// The colour tables against the per-byte formulas, computed here the plain
// way: every pair of 6-bit greens and of 5-bit reds and blues, and a million
// random pairs, in both orders, for each kind of block.
pixel per_byte(pixel a, pixel b, unsigned wa, unsigned wb, unsigned add, unsigned divisor) {
    pixel out = 0;
    for (int s = 0; s < 32; s += 8)
        out |= ((wa * ((a >> s) & 0xFF) + wb * ((b >> s) & 0xFF) + add) / divisor) << s;
    return out;
}

TEST(decode_block, colour_tables_follow_the_per_byte_formulas) {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs;
    for (unsigned x = 0; x < 64; ++x)
        for (unsigned y = 0; y < 64; ++y)
            pairs.push_back({static_cast<std::uint16_t>((x >> 1) << 11 | x << 5 | (x >> 1)),
                             static_cast<std::uint16_t>((y >> 1) << 11 | y << 5 | (y >> 1))});
    std::mt19937 random(5);
    for (int i = 0; i < 1 << 20; ++i)
        pairs.push_back(
            {static_cast<std::uint16_t>(random()), static_cast<std::uint16_t>(random())});

    for (const auto &pair : pairs) {
        const pixel e0 = expand_rgb565(pair.first), e1 = expand_rgb565(pair.second);
        const pixel four[4] = {e0, e1, per_byte(e0, e1, 2, 1, 1, 3), per_byte(e0, e1, 1, 2, 1, 3)};
        const pixel three[4] = {e0, e1, per_byte(e0, e1, 1, 1, 0, 2), 0};
        const pixel *dxt1 = pair.first <= pair.second ? three : four;
        const bytes colours = colour_part(pair.first, pair.second, 0xE4);
        const bytes opaque = {255, 255, 0, 0, 0, 0, 0, 0}; // DXT5, every alpha 255
        image img = {4, 4, nullptr, fourcc_dxt1};
        pixel out[16];
        decode_block(colours.data(), &img, out, 4);
        check_avx2_agrees(fourcc_dxt1, colours);
        for (int k = 0; k < 16; ++k)
            ASSERT_EQ(out[k], dxt1[k % 4]) << std::hex << pair.first << " " << pair.second;
        img.fourcc = fourcc_dxt5;
        const bytes block = concat(opaque, colours);
        decode_block(block.data(), &img, out, 4);
        check_avx2_agrees(fourcc_dxt5, block);
        for (int k = 0; k < 16; ++k)
            ASSERT_EQ(out[k], four[k % 4]) << std::hex << pair.first << " " << pair.second;
    }
}

// Every DXT5 alpha pair against the table formulas, computed here the plain way.
TEST(decode_block, dxt5_every_alpha_pair_follows_the_table_formulas) {
    for (unsigned a0 = 0; a0 < 256; ++a0) {
        for (unsigned a1 = 0; a1 < 256; ++a1) {
            unsigned table[8] = {a0, a1};
            for (unsigned k = 2; k < 8; ++k)
                table[k] = a0 > a1  ? ((8 - k) * a0 + (k - 1) * a1 + 3) / 7
                           : k < 6  ? ((6 - k) * a0 + (k - 1) * a1 + 2) / 5
                           : k == 6 ? 0
                                    : 255;
            std::vector<unsigned> alphas =
                dxt5_alphas(static_cast<unsigned char>(a0), static_cast<unsigned char>(a1));
            for (int n = 0; n < 16; ++n)
                ASSERT_EQ(alphas[n], table[n % 8]) << a0 << " " << a1 << " entry " << n % 8;
        }
    }
}

TEST(read_image_data, short_stream_reports) {
    const struct {
        std::uint32_t code;
        std::size_t length;
    } cases[] = {
        {fourcc_dxt1, 7}, {fourcc_dxt3, 5}, {fourcc_dxt3, 15}, {fourcc_dxt5, 0}, {fourcc_dxt5, 12}};
    for (const auto &c : cases) {
        reset_platform();
        std::FILE *input = stream_of(bytes(c.length, 0x55));
        bytes data(16);
        image img = {4, 4, nullptr, c.code};
        EXPECT_EQ(read_image_data(input, &img, data.data()), 1);
        std::fclose(input);
        ASSERT_EQ(recorded_messages.size(), 1u);
        EXPECT_EQ(recorded_messages[0].kind, message_error);
        EXPECT_EQ(recorded_messages[0].text.rfind("Error reading image data from input file: ", 0),
                  0u);
    }
}

// The grid: every pixel comes from its block, the parts of edge blocks past
// the image are dropped, and nothing after the last block is read.
bytes random_blocks(std::size_t count, std::size_t block_size, unsigned seed) {
    std::mt19937 random(seed);
    bytes out(count * block_size);
    for (unsigned char &b : out)
        b = static_cast<unsigned char>(random());
    return out;
}

// Reads and decodes a width x height image of random blocks followed by a
// few more bytes, and checks every pixel against its block decoded on its
// own (the rows bottom first), the guard after the buffer, and that the
// stream stops at the last block.
void check_grid(std::uint32_t code, int width, int height) {
    const std::size_t block_size = code == fourcc_dxt1 ? 8 : 16;
    const int across = (width + 3) / 4, down = (height + 3) / 4;
    bytes blocks = random_blocks(across * down, block_size, width * 16 + height);
    // What each block holds, decoded on its own.
    std::vector<std::vector<pixel>> expected_blocks;
    for (int b = 0; b < across * down; ++b)
        expected_blocks.push_back(decode(
            code, bytes(blocks.begin() + b * block_size, blocks.begin() + (b + 1) * block_size)));

    std::FILE *input = stream_of(concat(blocks, bytes(5, 0xEE)));
    const pixel guard = 0xDEADBEEF;
    std::vector<pixel> buffer(width * height + 8, guard);
    image img = {width, height, buffer.data(), code};
    bytes data(blocks.size());
    ASSERT_EQ(image_data_size(&img), blocks.size());
    ASSERT_EQ(read_image_data(input, &img, data.data()), 0);
    EXPECT_EQ(std::ftell(input), static_cast<long>(blocks.size())) << width << "x" << height;
    std::fclose(input);
    decode_image(data.data(), &img);

    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(buffer[(height - 1 - y) * width + x],
                      expected_blocks[(y / 4) * across + x / 4][(y % 4) * 4 + x % 4])
                << width << "x" << height << " at " << x << "," << y;
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(buffer[width * height + i], guard);
}

TEST(decode_image, places_blocks_and_clips_the_edges) {
    const int sides[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (std::uint32_t code : {fourcc_dxt1, fourcc_dxt5})
        for (int width : sides)
            for (int height : sides)
                check_grid(code, width, height);
}

// Wide rows: of 1024, 1025 and 2049 blocks, the last one clipped, and of 62
// (seven eights, five more and a clipped one) over two and a quarter block rows.
TEST(decode_image, wide_rows) {
    for (std::uint32_t code : {fourcc_dxt1, fourcc_dxt3, fourcc_dxt5}) {
        check_grid(code, 4 * 61 + 2, 9);
        check_grid(code, 4096, 5);
        check_grid(code, 4097, 8);
        check_grid(code, 8195, 3);
    }
}

// decode_blocks_avx2 decodes whole eights only, and touches no pixel of the
// blocks it leaves to decode_block.
TEST(decode_blocks_avx2, decodes_whole_eights_and_nothing_past_them) {
    const struct {
        int count, eights;
    } cases[] = {{0, 0}, {7, 0}, {8, 8}, {15, 8}, {16, 16}, {17, 16}};
    for (std::uint32_t code : {fourcc_dxt1, fourcc_dxt3, fourcc_dxt5}) {
        for (const auto &c : cases) {
            const bytes blocks = random_blocks(c.count, code == fourcc_dxt1 ? 8 : 16, 3);
            const int width = 4 * 20;
            std::vector<pixel> out(static_cast<std::size_t>(width) * 4, 0xDEADBEEF);
            const int done =
                decode_blocks_avx2(blocks.data(), c.count, code, out.data() + 3 * width, -width);
            if (done == 0 && c.eights > 0)
                GTEST_SKIP() << "this processor has no AVX2";
            ASSERT_EQ(done, c.eights) << c.count;
            for (int y = 0; y < 4; ++y)
                for (int x = 4 * done; x < width; ++x)
                    ASSERT_EQ(out[static_cast<std::size_t>(y) * width + x], 0xDEADBEEFu)
                        << c.count << " blocks, pixel " << x << "," << y;
        }
    }
}

TEST(read_image_data, reads_exactly_the_top_level_blocks) {
    // 256 x 128 DXT1: 64 x 32 blocks of 8 bytes, then a mipmap that is never read.
    bytes data = random_blocks(64 * 32 + 16, 8, 1);
    std::FILE *input = stream_of(data);
    bytes blocks(16384);
    image img = {256, 128, nullptr, fourcc_dxt1};
    EXPECT_EQ(image_data_size(&img), 16384u);
    ASSERT_EQ(read_image_data(input, &img, blocks.data()), 0);
    EXPECT_EQ(std::ftell(input), 16384);
    std::fclose(input);
}

// A file that ends before the last block, at a block's end or inside one,
// and one that holds one block too few by its size: each reports the end of
// the file with the same message.
TEST(read_image_data, stops_at_the_first_missing_block) {
    const struct {
        int width, height;
        std::uint32_t code;
        std::size_t length;
    } cases[] = {{8, 8, fourcc_dxt3, 3 * 16}, {4 * 1030, 4, fourcc_dxt1, 1027 * 8 + 5}};
    for (const auto &c : cases) {
        reset_platform();
        image img = {c.width, c.height, nullptr, c.code};
        bytes data = random_blocks(c.length, 1, 2);
        std::FILE *input = stream_of(data);
        bytes blocks(image_data_size(&img));
        EXPECT_EQ(read_image_data(input, &img, blocks.data()), 1);
        std::fclose(input);
        EXPECT_EQ(check_image_data_size(&img, c.length), 1);
        EXPECT_EQ(check_image_data_size(&img, image_data_size(&img)), 0);
        ASSERT_EQ(recorded_messages.size(), 2u);
        for (const recorded_message &m : recorded_messages)
            EXPECT_EQ(m.text, "Error reading image data from input file: Unexpected end of file");
    }
}

} // namespace
