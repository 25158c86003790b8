// The one record that passes between the conversion stages, and its pixel.
// A band of rows of a larger image, converted on its own, is described by a
// record of its own: the image's width and fourcc, the band's height.
#ifndef DXTC2TGA_COMMON_IMAGE_H
#define DXTC2TGA_COMMON_IMAGE_H

#include <cstdint>

// A pixel is alpha in bits 24-31, red in 16-23, green in 8-15 and blue in 0-7.
// Stored little-endian its bytes are blue, green, red, alpha: the byte order of
// a 32-bit TGA pixel, so decoded rows go to the file exactly as they lie in memory.
typedef std::uint32_t pixel;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "rows are written as they lie in memory: a little-endian host is required"
#endif

struct image {
    std::int32_t width;   // pixels, from the DDS header
    std::int32_t height;  // pixels, from the DDS header
    pixel *pixels;        // height rows of width pixels, bottom row first (the TGA's order)
    std::uint32_t fourcc; // compression code as read little-endian from the file
};

// A four-character code as the little-endian 32-bit value its bytes form in a file.
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

// Little-endian values read from a file's bytes, a byte at a time: right on
// any alignment.
inline std::uint16_t read_u16(const unsigned char *bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

inline std::uint32_t read_u32(const unsigned char *bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

constexpr std::uint32_t fourcc_dds = fourcc('D', 'D', 'S', ' ');  // file signature, 0x20534444
constexpr std::uint32_t fourcc_dxt1 = fourcc('D', 'X', 'T', '1'); // 0x31545844
constexpr std::uint32_t fourcc_dxt3 = fourcc('D', 'X', 'T', '3'); // 0x33545844
constexpr std::uint32_t fourcc_dxt5 = fourcc('D', 'X', 'T', '5'); // 0x35545844

static_assert(fourcc_dds == 0x20534444, "signature bytes are \"DDS \"");
static_assert(fourcc_dxt1 == 0x31545844, "DXT1 is read little-endian");

#endif
