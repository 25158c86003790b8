// Builds DDS files and streams in memory for the unit tests.
#ifndef DXTC2TGA_TESTS_DDS_BUILDER_H
#define DXTC2TGA_TESTS_DDS_BUILDER_H

#include "common/image.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

typedef std::vector<unsigned char> bytes;

inline void put_u32(bytes &out, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A 128-byte signature and header of a DXTC texture, followed by `blocks`.
inline bytes dds_file(std::uint32_t width, std::uint32_t height, std::uint32_t code,
                      const bytes &blocks = {}) {
    bytes out(128 + blocks.size(), 0);
    put_u32(out, 0, fourcc_dds);
    put_u32(out, 4, 124);        // header size
    put_u32(out, 8, 0x00081007); // caps, height, width, pixel format, linear size
    put_u32(out, 12, height);
    put_u32(out, 16, width);
    put_u32(out, 76, 32);      // pixel format size
    put_u32(out, 80, 0x4);     // pixel format flags: four-character code
    put_u32(out, 84, code);    // four-character code
    put_u32(out, 108, 0x1000); // capabilities: texture
    std::copy(blocks.begin(), blocks.end(), out.begin() + 128);
    return out;
}

// A stream holding `data`, positioned at its start; the caller closes it.
inline std::FILE *stream_of(const bytes &data) {
    std::FILE *stream = std::tmpfile();
    if (!data.empty())
        std::fwrite(data.data(), 1, data.size(), stream);
    std::rewind(stream);
    return stream;
}

// Everything written to `stream` so far.
inline bytes contents_of(std::FILE *stream) {
    std::fflush(stream);
    std::rewind(stream);
    bytes out;
    int c;
    while ((c = std::fgetc(stream)) != EOF)
        out.push_back(static_cast<unsigned char>(c));
    return out;
}

#endif
