#include "bench_texture.h"

#include "dds/dxtc.h"

#include <cmath>
#include <random>

bytes make_picture(int width, int height) {
    bytes rgba(static_cast<std::size_t>(width) * height * 4);
    std::mt19937 random(7);
    const double cx = 0.37 * width, cy = 0.61 * height;
    const double scale = 64.0 / (width > height ? width : height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
            const double d = std::hypot(x - cx, y - cy) * scale;
            const bool ring = static_cast<int>(d) % 5 == 0;
            const int noise = static_cast<int>(random() % 13) - 6;
            auto clamp = [](double c) {
                return static_cast<unsigned char>(c < 0 ? 0 : c > 255 ? 255 : c);
            };
            p[0] = clamp(ring ? 230 : 255 * u + noise);
            p[1] = clamp(ring ? 40 : 128 + 100 * std::sin(6.0 * v + 3.0 * u) + noise);
            p[2] = clamp(ring ? 60 : 255 * (1 - v) + noise);
            p[3] = clamp(std::fmod(d, 9.0) < 1.0 ? 0 : 255 * (0.25 + 0.75 * v));
        }
    }
    return rgba;
}

static unsigned to_565(const unsigned char *c) {
    return (c[0] * 31 + 127) / 255 << 11 | (c[1] * 63 + 127) / 255 << 5 | (c[2] * 31 + 127) / 255;
}

static unsigned distance(pixel p, const unsigned char *c) {
    const int dr = static_cast<int>((p >> 16) & 0xFF) - c[0];
    const int dg = static_cast<int>((p >> 8) & 0xFF) - c[1];
    const int db = static_cast<int>(p & 0xFF) - c[2];
    return static_cast<unsigned>(dr * dr + dg * dg + db * db);
}

// The four-colour table of two 5:6:5 colours, as the decoder builds it.
static void four_colours(unsigned c0, unsigned c1, pixel *table) {
    table[0] = expand_rgb565(static_cast<std::uint16_t>(c0));
    table[1] = expand_rgb565(static_cast<std::uint16_t>(c1));
    for (int i = 0; i < 2; ++i) {
        const pixel a = table[i], b = table[1 - i];
        pixel t = 0;
        for (int s = 0; s < 32; s += 8)
            t |= (2 * ((a >> s) & 0xFF) + ((b >> s) & 0xFF) + 1) / 3 << s;
        table[2 + i] = t;
    }
}

static void encode_colours(const unsigned char *block, unsigned char *out) {
    unsigned char low[3] = {255, 255, 255}, high[3] = {0, 0, 0};
    for (int k = 0; k < 16; ++k)
        for (int c = 0; c < 3; ++c) {
            low[c] = block[4 * k + c] < low[c] ? block[4 * k + c] : low[c];
            high[c] = block[4 * k + c] > high[c] ? block[4 * k + c] : high[c];
        }
    unsigned c0 = to_565(high), c1 = to_565(low);
    if (c0 < c1) {
        unsigned t = c0;
        c0 = c1;
        c1 = t;
    }
    pixel table[4];
    four_colours(c0, c1, table);
    std::uint32_t indices = 0;
    for (int k = 0; k < 16; ++k) {
        unsigned best = 0;
        for (unsigned e = 1; e < 4; ++e)
            if (distance(table[e], block + 4 * k) < distance(table[best], block + 4 * k))
                best = e;
        indices |= best << (2 * k);
    }
    const unsigned values[] = {c0 & 0xFF, c0 >> 8, c1 & 0xFF, c1 >> 8};
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(values[i]);
    for (int i = 0; i < 4; ++i)
        out[4 + i] = static_cast<unsigned char>(indices >> (8 * i));
}

static void encode_explicit_alpha(const unsigned char *block, unsigned char *out) {
    for (int i = 0; i < 8; ++i) {
        const unsigned lo = (block[4 * (2 * i) + 3] * 15 + 127) / 255;
        const unsigned hi = (block[4 * (2 * i + 1) + 3] * 15 + 127) / 255;
        out[i] = static_cast<unsigned char>(lo | hi << 4);
    }
}

static void encode_interpolated_alpha(const unsigned char *block, unsigned char *out) {
    unsigned a0 = 0, a1 = 255;
    for (int k = 0; k < 16; ++k) {
        a0 = block[4 * k + 3] > a0 ? block[4 * k + 3] : a0;
        a1 = block[4 * k + 3] < a1 ? block[4 * k + 3] : a1;
    }
    unsigned table[8] = {a0, a1};
    for (unsigned k = 2; k < 8; ++k)
        table[k] = ((8 - k) * a0 + (k - 1) * a1 + 3) / 7; // a0 == a1 needs no other entry
    std::uint64_t indices = 0;
    for (int k = 0; k < 16; ++k) {
        const int a = block[4 * k + 3];
        unsigned best = 0;
        for (unsigned e = 1; e < 8; ++e)
            if (std::abs(a - static_cast<int>(table[e])) <
                std::abs(a - static_cast<int>(table[best])))
                best = e;
        indices |= static_cast<std::uint64_t>(best) << (3 * k);
    }
    out[0] = static_cast<unsigned char>(a0);
    out[1] = static_cast<unsigned char>(a1);
    for (int i = 0; i < 6; ++i)
        out[2 + i] = static_cast<unsigned char>(indices >> (8 * i));
}

bytes encode_picture(const bytes &rgba, int width, int height, std::uint32_t code) {
    const int across = (width + 3) / 4, down = (height + 3) / 4;
    const std::size_t size = block_size_of(code);
    bytes out(static_cast<std::size_t>(across) * down * size);
    unsigned char *next = out.data();
    for (int by = 0; by < down; ++by) {
        for (int bx = 0; bx < across; ++bx, next += size) {
            // The block's pixels; those past an edge repeat the last row or column.
            unsigned char block[64];
            for (int k = 0; k < 16; ++k) {
                int x = 4 * bx + k % 4, y = 4 * by + k / 4;
                x = x < width ? x : width - 1;
                y = y < height ? y : height - 1;
                for (int c = 0; c < 4; ++c)
                    block[4 * k + c] = rgba[(static_cast<std::size_t>(y) * width + x) * 4 + c];
            }
            if (code == fourcc_dxt3)
                encode_explicit_alpha(block, next);
            if (code == fourcc_dxt5)
                encode_interpolated_alpha(block, next);
            encode_colours(block, next + size - 8);
        }
    }
    return out;
}

bytes random_blocks(std::size_t count, std::uint32_t code, unsigned seed) {
    std::mt19937 random(seed);
    bytes out(count * block_size_of(code));
    for (unsigned char &b : out)
        b = static_cast<unsigned char>(random());
    return out;
}

static void put_u32(unsigned char *at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

bytes dds_header(int width, int height, std::uint32_t code) {
    bytes out(128, 0);
    const std::uint32_t blocks = static_cast<std::uint32_t>((width + 3) / 4) * ((height + 3) / 4);
    put_u32(&out[0], fourcc_dds);
    put_u32(&out[4], 124);        // header size
    put_u32(&out[8], 0x00081007); // caps, height, width, pixel format, linear size
    put_u32(&out[12], static_cast<std::uint32_t>(height));
    put_u32(&out[16], static_cast<std::uint32_t>(width));
    put_u32(&out[20], blocks * static_cast<std::uint32_t>(block_size_of(code))); // linear size
    put_u32(&out[28], 1);                                                        // mipmap count
    put_u32(&out[76], 32);      // pixel format size
    put_u32(&out[80], 0x4);     // pixel format flags: four-character code
    put_u32(&out[84], code);    // four-character code
    put_u32(&out[108], 0x1000); // capabilities: texture
    return out;
}
