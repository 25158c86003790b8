// A peer for bench/compare: the same conversion written plainly on libsquish,
// one thread. Reads the blocks with one request, lets the library decompress
// the image, swaps red and blue in place and writes the TGA rows bottom up.
//
//     squish_convert INPUT.dds OUTPUT.tga
#include <squish.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static std::uint32_t u32(const unsigned char *b) {
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

static int fail(const char *what) {
    std::perror(what);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: squish_convert INPUT.dds OUTPUT.tga\n");
        return 2;
    }
    std::FILE *in = std::fopen(argv[1], "rb");
    unsigned char header[128];
    if (in == nullptr || std::fread(header, 1, sizeof header, in) != sizeof header)
        return fail("squish_convert: input");
    const int height = static_cast<int>(u32(header + 12)),
              width = static_cast<int>(u32(header + 16));
    const char *code = reinterpret_cast<const char *>(header + 84);
    const int flags = std::memcmp(code, "DXT1", 4) == 0   ? squish::kDxt1
                      : std::memcmp(code, "DXT3", 4) == 0 ? squish::kDxt3
                                                          : squish::kDxt5;
    const std::size_t blocks_size = static_cast<std::size_t>((width + 3) / 4) * ((height + 3) / 4) *
                                    (flags == squish::kDxt1 ? 8 : 16);
    std::vector<unsigned char> blocks(blocks_size);
    if (std::fread(blocks.data(), 1, blocks_size, in) != blocks_size)
        return fail("squish_convert: blocks");
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    unsigned char *rgba = static_cast<unsigned char *>(std::malloc(row * height));
    if (rgba == nullptr)
        return fail("squish_convert: malloc");
    squish::DecompressImage(rgba, width, height, blocks.data(), flags);
    for (std::size_t i = 0; i < row * height; i += 4) {
        const unsigned char red = rgba[i];
        rgba[i] = rgba[i + 2];
        rgba[i + 2] = red;
    }
    unsigned char tga[18] = {0, 0, 2};
    tga[12] = width & 0xFF, tga[13] = (width >> 8) & 0xFF;
    tga[14] = height & 0xFF, tga[15] = (height >> 8) & 0xFF;
    tga[16] = 32, tga[17] = 8;
    static const unsigned char footer[26] = {0,   0,   0,   0,   0,   0,   0,   0,   'T',
                                             'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O', 'N',
                                             '-', 'X', 'F', 'I', 'L', 'E', '.', 0};
    std::FILE *out = std::fopen(argv[2], "wb");
    if (out == nullptr || std::fwrite(tga, 1, sizeof tga, out) != sizeof tga)
        return fail("squish_convert: output");
    for (int y = height - 1; y >= 0; --y)
        if (std::fwrite(rgba + y * row, 1, row, out) != row)
            return fail("squish_convert: rows");
    if (std::fwrite(footer, 1, sizeof footer, out) != sizeof footer || std::fclose(out) != 0)
        return fail("squish_convert: footer");
    return 0;
}
