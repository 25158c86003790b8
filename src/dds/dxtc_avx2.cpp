// Whole blocks decoded eight at a time with AVX2, to the same bytes as
// decode_block. The tables of eight blocks are computed side by side, one
// block in each 32-bit lane, by the formulas decode_block uses; then two
// blocks at a time, each row of both (eight pixels, 32 bytes in the image)
// is looked up with one permute of their two tables by the pixels' indices.
//
// Only the functions marked AVX2 use those instructions, and they run only
// where the processor says it has them; elsewhere decode_blocks_avx2 decodes
// nothing and decode_block does all the work.
#include "dxtc.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#define AVX2 __attribute__((target("avx2")))

namespace {

constexpr std::size_t group = 8; // blocks side by side, one to a 32-bit lane

AVX2 __m256i splat(std::uint32_t value) {
    return _mm256_set1_epi32(static_cast<int>(value));
}

AVX2 __m256i lanes(int a, int b, int c, int d, int e, int f, int g, int h) {
    return _mm256_setr_epi32(a, b, c, d, e, f, g, h);
}

// Widens the 5:6:5 colour in the low 16 bits of each lane by plain shifts,
// as expand_rgb565: rrrrrggg gggbbbbb to 0xFF, rrrrr000, gggggg00, bbbbb000.
AVX2 __m256i expand(__m256i colour) {
    const __m256i red = _mm256_slli_epi32(_mm256_and_si256(colour, splat(0xF800)), 8);
    const __m256i green = _mm256_slli_epi32(_mm256_and_si256(colour, splat(0x07E0)), 5);
    const __m256i blue = _mm256_slli_epi32(_mm256_and_si256(colour, splat(0x001F)), 3);
    return _mm256_or_si256(_mm256_or_si256(red, green), _mm256_or_si256(blue, splat(0xFF000000)));
}

// (2a + b + 1) / 3 in each 16-bit lane holding a byte. A sum is at most 766,
// and for every x up to 766, x / 3 == (x * 21846) >> 16.
AVX2 __m256i thirds16(__m256i a, __m256i b) {
    const __m256i sum =
        _mm256_add_epi16(_mm256_add_epi16(a, a), _mm256_add_epi16(b, splat(0x00010001)));
    return _mm256_mulhi_epu16(sum, _mm256_set1_epi16(21846));
}

// Each byte on its own: (2a + b + 1) / 3, the even bytes (blue, red) and the
// odd bytes (green, alpha) each in 16-bit lanes of their own.
AVX2 __m256i one_third(__m256i a, __m256i b) {
    const __m256i low_bytes = splat(0x00FF00FF);
    const __m256i even = thirds16(_mm256_and_si256(a, low_bytes), _mm256_and_si256(b, low_bytes));
    const __m256i odd = thirds16(_mm256_and_si256(_mm256_srli_epi16(a, 8), low_bytes),
                                 _mm256_and_si256(_mm256_srli_epi16(b, 8), low_bytes));
    return _mm256_or_si256(even, _mm256_slli_epi16(odd, 8));
}

// Each byte on its own: (a + b) / 2, rounding down, as their common bits plus
// half their differing bits.
AVX2 __m256i half_way(__m256i a, __m256i b) {
    const __m256i differing = _mm256_and_si256(_mm256_xor_si256(a, b), splat(0xFEFEFEFE));
    return _mm256_add_epi32(_mm256_and_si256(a, b), _mm256_srli_epi32(differing, 1));
}

// The colour tables of eight colour parts whose bytes 0-3 are in `words`
// (lanes in block order 0 2 4 6 1 3 5 7), stored as table[block][entry] in
// block order. Three colours and transparent black where `three_colour` is
// allowed and colour 0 <= colour 1; the alpha bytes cleared unless `opaque`.
AVX2 void colour_tables(__m256i words, bool three_colour, bool opaque, pixel (*table)[4]) {
    const __m256i colour0 = _mm256_and_si256(words, splat(0xFFFF));
    const __m256i colour1 = _mm256_srli_epi32(words, 16);
    const __m256i t0 = expand(colour0);
    const __m256i t1 = expand(colour1);
    __m256i t2 = one_third(t0, t1);
    __m256i t3 = one_third(t1, t0);
    if (three_colour) {
        const __m256i four = _mm256_cmpgt_epi32(colour0, colour1); // all ones or zero
        t2 = _mm256_blendv_epi8(half_way(t0, t1), t2, four);
        t3 = _mm256_and_si256(t3, four); // or transparent black
    }
    const __m256i keep = splat(opaque ? 0xFFFFFFFF : 0x00FFFFFF);
    const __m256i lo01 = _mm256_unpacklo_epi32(t0, t1), hi01 = _mm256_unpackhi_epi32(t0, t1);
    const __m256i lo23 = _mm256_unpacklo_epi32(t2, t3), hi23 = _mm256_unpackhi_epi32(t2, t3);
    // Each result holds the tables of lanes i and i + 4: blocks 2i and 2i + 1.
    const __m256i pairs[4] = {_mm256_unpacklo_epi64(lo01, lo23), _mm256_unpackhi_epi64(lo01, lo23),
                              _mm256_unpacklo_epi64(hi01, hi23), _mm256_unpackhi_epi64(hi01, hi23)};
    for (std::size_t i = 0; i < 4; ++i)
        _mm256_store_si256(reinterpret_cast<__m256i *>(table[2 * i]),
                           _mm256_and_si256(pairs[i], keep));
}

// The alpha mask tables of eight DXT5 alpha parts whose bytes 0-3 are in
// `words` (lanes in block order 0 2 4 6 1 3 5 7), stored as
// table[block][entry] in block order: entry i is alpha i as the mask
// alpha << 24 | 0x00FFFFFF, as decode_block makes them.
AVX2 void alpha_tables(__m256i words, pixel (*table)[8]) {
    const __m256i a0 = _mm256_and_si256(words, splat(0xFF));
    const __m256i a1 = _mm256_and_si256(_mm256_srli_epi32(words, 8), splat(0xFF));
    const __m256i eight = _mm256_cmpgt_epi32(a0, a1); // all ones or zero
    // Each entry's numerator is the one before it with one a0 less and one a1 more.
    const __m256i step = _mm256_sub_epi16(a1, a0);
    // Eight values, entries 2-7: ((8 - k) * a0 + (k - 1) * a1 + 3) / 7. A
    // numerator is at most 1788, and for every x up to 1788, x / 7 == (x * 9363) >> 16.
    __m256i sevenths =
        _mm256_add_epi16(_mm256_mullo_epi16(a0, splat(6)), _mm256_add_epi16(a1, splat(3)));
    // Six values, entries 2-5: ((6 - k) * a0 + (k - 1) * a1 + 2) / 5, then 0 and 255.
    // A numerator is at most 1277, and for every x up to 1277, x / 5 == (x * 13108) >> 16.
    __m256i fifths =
        _mm256_add_epi16(_mm256_mullo_epi16(a0, splat(4)), _mm256_add_epi16(a1, splat(2)));
    __m256i alpha[8] = {a0, a1};
    for (int k = 2; k < 8; ++k) {
        const __m256i six = k < 6    ? _mm256_mulhi_epu16(fifths, splat(13108))
                            : k == 6 ? _mm256_setzero_si256()
                                     : splat(255);
        alpha[k] = _mm256_blendv_epi8(six, _mm256_mulhi_epu16(sevenths, splat(9363)), eight);
        sevenths = _mm256_add_epi16(sevenths, step);
        fifths = _mm256_add_epi16(fifths, step);
    }
    __m256i mask[8];
    for (int k = 0; k < 8; ++k)
        mask[k] = _mm256_or_si256(_mm256_slli_epi32(alpha[k], 24), splat(0x00FFFFFF));
    // An 8 x 8 transpose: lanes become blocks, entries become lanes. The
    // first unpacks pair entries 2i and 2i + 1 of lanes 0, 1, 4, 5 (low) and
    // of lanes 2, 3, 6, 7 (high).
    __m256i low[4], high[4];
    for (std::size_t i = 0; i < 4; ++i) {
        low[i] = _mm256_unpacklo_epi32(mask[2 * i], mask[2 * i + 1]);
        high[i] = _mm256_unpackhi_epi32(mask[2 * i], mask[2 * i + 1]);
    }
    for (std::size_t half = 0; half < 2; ++half) {
        const __m256i *pairs = half == 0 ? low : high;
        for (std::size_t j = 0; j < 2; ++j) {
            // Entries 0-3 and 4-7 of lanes 2 * half + j and 2 * half + j + 4,
            // which hold blocks 4 * half + 2 * j and the one after it.
            const __m256i first = j == 0 ? _mm256_unpacklo_epi64(pairs[0], pairs[1])
                                         : _mm256_unpackhi_epi64(pairs[0], pairs[1]);
            const __m256i last = j == 0 ? _mm256_unpacklo_epi64(pairs[2], pairs[3])
                                        : _mm256_unpackhi_epi64(pairs[2], pairs[3]);
            const std::size_t block = 4 * half + 2 * j;
            _mm256_store_si256(reinterpret_cast<__m256i *>(table[block]),
                               _mm256_permute2x128_si256(first, last, 0x20));
            _mm256_store_si256(reinterpret_cast<__m256i *>(table[block + 1]),
                               _mm256_permute2x128_si256(first, last, 0x31));
        }
    }
}

// Lanes i (block 2i of a group) and i + 4 (block 2i + 1) of `words`, each
// in four lanes: the low half for block 2i, the high half for block 2i + 1.
AVX2 __m256i pair_of(__m256i words, std::size_t i) {
    const int a = static_cast<int>(i), b = a + 4;
    return _mm256_permutevar8x32_epi32(words, lanes(a, a, a, a, b, b, b, b));
}

// The colours of two blocks side by side, row r in rows[r]: `table` holds
// the first block's table in its low half and the second's in its high half,
// `words` their index words as pair_of gives them.
AVX2 void colour_rows(__m256i table, __m256i words, __m256i *rows) {
    // Pixel k of row r takes its colour index from bits 8r + 2k and 8r + 2k + 1
    // of its block's index word: after this, byte r of lane k, with the bit
    // above it set in the second block's lanes. A permute reads the low
    // three bits of each lane.
    const __m256i shifted = _mm256_srlv_epi32(words, lanes(0, 2, 4, 6, 0, 2, 4, 6));
    const __m256i second = splat(0x04040404);
    const __m256i indices =
        _mm256_or_si256(_mm256_and_si256(shifted, splat(0x03030303)),
                        _mm256_blend_epi32(_mm256_setzero_si256(), second, 0xF0));
    for (int r = 0; r < block_side; ++r)
        rows[r] = _mm256_permutevar8x32_epi32(table, _mm256_srli_epi32(indices, 8 * r));
}

// Adds the DXT3 alphas of two blocks side by side to their rows, whose
// alpha bytes are zero: `upper` holds the 16-bit alpha words of rows 0 and
// 1, `lower` those of rows 2 and 3, as pair_of gives them. Pixel k's 4-bit
// alpha a, in bits 4k to 4k+3 of its row's word, moved to bits 28-31 is the
// byte a * 16.
AVX2 void add_explicit_alphas(__m256i upper, __m256i lower, __m256i *rows) {
    const __m256i first_row = lanes(28, 24, 20, 16, 28, 24, 20, 16);
    const __m256i second_row = lanes(12, 8, 4, 0, 12, 8, 4, 0);
    for (int r = 0; r < block_side; ++r) {
        const __m256i words = r < 2 ? upper : lower;
        const __m256i moved = _mm256_sllv_epi32(words, r % 2 == 0 ? first_row : second_row);
        rows[r] = _mm256_or_si256(rows[r], _mm256_and_si256(moved, splat(0xF0000000)));
    }
}

// Applies the DXT5 alphas of two blocks side by side (`blocks`, with their
// alpha mask tables `masks`) to their rows.
AVX2 void apply_interpolated_alphas(const unsigned char *blocks, std::size_t block_size,
                                    const pixel (*masks)[8], __m256i *rows) {
    // Pixel k of a row pair takes its alpha index from bits 3k to 3k + 2 of
    // bytes 2-4 of its block (rows 0-1) or of bytes 5-7 (rows 2-3); the
    // fourth byte each read brings is never looked at.
    const __m256i shifts = lanes(0, 3, 6, 9, 12, 15, 18, 21);
    __m256i alphas[2][2]; // of each block, rows 0-1 and rows 2-3
    for (std::size_t j = 0; j < 2; ++j) {
        const unsigned char *block = blocks + j * block_size;
        const __m256i table = _mm256_load_si256(reinterpret_cast<const __m256i *>(masks[j]));
        for (std::size_t half = 0; half < 2; ++half) {
            const __m256i indices =
                _mm256_srlv_epi32(splat(read_u32(block + 2 + 3 * half)), shifts);
            alphas[j][half] = _mm256_permutevar8x32_epi32(table, indices);
        }
    }
    for (int r = 0; r < block_side; ++r) {
        const __m256i first = alphas[0][r / 2], second = alphas[1][r / 2];
        const __m256i row = r % 2 == 0 ? _mm256_permute2x128_si256(first, second, 0x20)
                                       : _mm256_permute2x128_si256(first, second, 0x31);
        rows[r] = _mm256_and_si256(rows[r], row);
    }
}

AVX2 int decode_groups(const unsigned char *data, int count, std::uint32_t code, pixel *top,
                       int stride) {
    const bool dxt3 = code == fourcc_dxt3, dxt5 = code == fourcc_dxt5;
    const std::size_t block_size = block_size_of(code);
    alignas(32) pixel colours[group][4];
    alignas(32) pixel masks[group][8];

    const int groups = count / static_cast<int>(group);
    for (int g = 0; g < groups; ++g, data += group * block_size) {
        const std::ptrdiff_t first =
            static_cast<std::ptrdiff_t>(group) * g; // the group's first block
        // Dword j of each block in words[j] (DXT1: the colours, then the
        // colour indices; DXT3 and DXT5: the alpha part, then the colour
        // part), lanes in block order 0 2 4 6 1 3 5 7, as the transposes want them.
        __m256i words[4];
        if (block_size == 8) {
            const __m256i blocks0246 = _mm256_permute4x64_epi64(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data)), 0xD8);
            const __m256i blocks1357 = _mm256_permute4x64_epi64(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 32)), 0xD8);
            const __m256 even = _mm256_castsi256_ps(blocks0246),
                         odd = _mm256_castsi256_ps(blocks1357);
            words[0] = words[1] = _mm256_setzero_si256(); // no alpha part
            words[2] = _mm256_castps_si256(_mm256_shuffle_ps(even, odd, 0x88));
            words[3] = _mm256_castps_si256(_mm256_shuffle_ps(even, odd, 0xDD));
        } else {
            __m256i pair[4]; // blocks 2i and 2i + 1
            for (std::size_t i = 0; i < 4; ++i)
                pair[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 32 * i));
            const __m256i low01 = _mm256_unpacklo_epi32(pair[0], pair[1]);
            const __m256i low23 = _mm256_unpacklo_epi32(pair[2], pair[3]);
            const __m256i high01 = _mm256_unpackhi_epi32(pair[0], pair[1]);
            const __m256i high23 = _mm256_unpackhi_epi32(pair[2], pair[3]);
            words[0] = _mm256_unpacklo_epi64(low01, low23);
            words[1] = _mm256_unpackhi_epi64(low01, low23);
            words[2] = _mm256_unpacklo_epi64(high01, high23);
            words[3] = _mm256_unpackhi_epi64(high01, high23);
        }
        colour_tables(words[2], code == fourcc_dxt1, !dxt3, colours);
        if (dxt5)
            alpha_tables(words[0], masks);

        // Two blocks side by side: each of their rows is 32 bytes in one piece.
        for (std::size_t i = 0; i < group / 2; ++i) {
            const __m256i table =
                _mm256_load_si256(reinterpret_cast<const __m256i *>(colours[2 * i]));
            __m256i rows[block_side];
            colour_rows(table, pair_of(words[3], i), rows);
            if (dxt3)
                add_explicit_alphas(pair_of(words[0], i), pair_of(words[1], i), rows);
            else if (dxt5)
                apply_interpolated_alphas(data + 2 * i * block_size, block_size, masks + 2 * i,
                                          rows);
            pixel *out = top + block_side * (first + 2 * static_cast<std::ptrdiff_t>(i));
            for (int r = 0; r < block_side; ++r)
                _mm256_storeu_si256(
                    reinterpret_cast<__m256i *>(out + static_cast<std::ptrdiff_t>(r) * stride),
                    rows[r]);
        }
    }
    return groups * static_cast<int>(group);
}

} // namespace

int decode_blocks_avx2(const unsigned char *data, int count, std::uint32_t code, pixel *top,
                       int stride) {
    // The answer is read from a record the C runtime filled in at start.
    return __builtin_cpu_supports("avx2") ? decode_groups(data, count, code, top, stride) : 0;
}

#else

int decode_blocks_avx2(const unsigned char *, int, std::uint32_t, pixel *, int) {
    return 0;
}

#endif
