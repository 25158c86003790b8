// Writes a benchmark input: the generated picture compressed, or random blocks.
//
//     make_input picture|random WIDTH HEIGHT DXT1|DXT3|DXT5 OUT.dds
#include "bench_texture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 6 ||
        (std::strcmp(argv[1], "picture") != 0 && std::strcmp(argv[1], "random") != 0) ||
        std::strlen(argv[4]) != 4) {
        std::fprintf(stderr,
                     "usage: make_input picture|random WIDTH HEIGHT DXT1|DXT3|DXT5 OUT.dds\n");
        return 2;
    }
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    const std::uint32_t code = fourcc(argv[4][0], argv[4][1], argv[4][2], argv[4][3]);
    if (width < 1 || height < 1 ||
        (code != fourcc_dxt1 && code != fourcc_dxt3 && code != fourcc_dxt5)) {
        std::fprintf(stderr, "make_input: bad size or kind\n");
        return 2;
    }
    const std::size_t count = static_cast<std::size_t>((width + 3) / 4) * ((height + 3) / 4);
    bytes blocks = std::strcmp(argv[1], "random") == 0
                       ? random_blocks(count, code, 1)
                       : encode_picture(make_picture(width, height), width, height, code);
    bytes header = dds_header(width, height, code);
    std::FILE *out = std::fopen(argv[5], "wb");
    if (out == nullptr || std::fwrite(header.data(), 1, header.size(), out) != header.size() ||
        std::fwrite(blocks.data(), 1, blocks.size(), out) != blocks.size() ||
        std::fclose(out) != 0) {
        std::perror("make_input");
        return 1;
    }
    return 0;
}
