// TGA header, 18 bytes (16-bit fields little-endian):
//
//   offset  size  field                      value
//        0     1  identification length      0
//        1     1  colour map type            0, none
//        2     1  image type                 2, uncompressed true-colour
//        3     2  colour map first entry     0
//        5     2  colour map length          0
//        7     1  colour map entry size      0
//        8     2  x origin                   0
//       10     2  y origin                   0
//       12     2  width
//       14     2  height
//       16     1  pixel depth                32
//       17     1  image descriptor           8: eight alpha bits, origin lower left
//
// Then height rows of width * 4 bytes (blue, green, red, alpha), bottom row first.
//
// TGA 2.0 footer, 26 bytes:
//
//        0     4  extension area offset      0
//        4     4  developer directory offset 0
//        8    18  "TRUEVISION-XFILE" "." and a zero byte
#include "tga_writer.h"

#include "common/messages.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

constexpr std::size_t tga_header_size = 18;
constexpr unsigned char tga_type_true_colour = 2;
constexpr int tga_offset_type = 2;
constexpr int tga_offset_width = 12;
constexpr int tga_offset_height = 14;
constexpr int tga_offset_depth = 16;
constexpr int tga_offset_descriptor = 17;
constexpr unsigned char tga_depth = 32;
constexpr unsigned char tga_descriptor =
    8; // alpha bits 0-3 = 8; bits 4, 5 clear: left to right, bottom up

constexpr std::size_t tga_footer_size = 26;
constexpr char tga_signature[] = "TRUEVISION-XFILE."; // 17 characters and its zero byte
constexpr int tga_offset_signature = 8;
static_assert(tga_offset_signature + sizeof tga_signature == tga_footer_size, "footer layout");

constexpr const char image_error[] = "Error writing image data to output file";

static void put_u16(unsigned char *bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value & 0xFF);
    bytes[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

std::uint64_t tga_file_size(const image *img) {
    return tga_header_size +
           static_cast<std::uint64_t>(img->width) * static_cast<std::uint64_t>(img->height) *
               sizeof(pixel) +
           tga_footer_size;
}

int write_tga_header(std::FILE *output, const image *img) {
    unsigned char header[tga_header_size] = {};
    header[tga_offset_type] = tga_type_true_colour;
    put_u16(header + tga_offset_width, static_cast<std::uint32_t>(img->width));
    put_u16(header + tga_offset_height, static_cast<std::uint32_t>(img->height));
    header[tga_offset_depth] = tga_depth;
    header[tga_offset_descriptor] = tga_descriptor;

    // Flushed at once: the header would otherwise wait in the stream's buffer,
    // and a disk that cannot take even the header would be reported by
    // whichever later writer happened to flush it.
    if (std::fwrite(header, 1, sizeof header, output) != sizeof header ||
        std::fflush(output) != 0) {
        show_message(message_error, "%s: %s", "Error writing TGA header to output file",
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

int write_tga_image(std::FILE *output, const image *img) {
    // The rows lie in the file's order already: one request for all of them,
    // which a stream without a buffer hands to the system whole.
    const std::size_t count =
        static_cast<std::size_t>(img->width) * static_cast<std::size_t>(img->height);
    if (std::fwrite(img->pixels, sizeof(pixel), count, output) != count) {
        show_message(message_error, "%s: %s", image_error, std::strerror(errno));
        return 1;
    }
    // The last rows may still be buffered; they are this writer's to report.
    if (std::fflush(output) != 0) {
        show_message(message_error, "%s: %s", image_error, std::strerror(errno));
        return 1;
    }
    return 0;
}

int write_tga_footer(std::FILE *output) {
    unsigned char footer[tga_footer_size] = {};
    std::memcpy(footer + tga_offset_signature, tga_signature, sizeof tga_signature);

    // Until the buffer is flushed, a full disk has not shown itself yet.
    if (std::fwrite(footer, 1, sizeof footer, output) != sizeof footer ||
        std::fflush(output) != 0) {
        show_message(message_error, "%s: %s", tga_footer_error, std::strerror(errno));
        return 1;
    }
    return 0;
}
