// A DDS file starts with a 4-byte signature and a 124-byte header of
// little-endian 32-bit fields:
//
//   file  header  field
//   ----  ------  ----------------------------------------------
//      0       -  signature "DDS "
//      4       0  header size, 124
//      8       4  header flags
//     12       8  height
//     16      12  width
//     20      16  pitch or linear size              (not examined)
//     24      20  depth                             (not examined)
//     28      24  mipmap count                      (not examined)
//     32      28  eleven reserved words             (not examined)
//     76      72  pixel format size                 (not examined)
//     80      76  pixel format flags                (not examined)
//     84      80  pixel format four-character code
//     88      84  bit count and four channel masks  (not examined)
//    108     104  four capability words             (not examined)
//    124     120  reserved                          (not examined)
//    128       -  block data of the top-level image, then mipmaps
//
// Only the top-level image is converted: mipmaps, cube faces and volume
// slices that follow it are accepted and never read.
#include "dds_reader.h"

#include "common/messages.h"
#include "dxtc.h"

#include <cerrno>
#include <cstring>

constexpr std::uint32_t dds_header_size = 124;
static_assert(dds_data_offset == 4 + dds_header_size, "the signature, then the header");

// The most block data read with one request: a runtime may count a request
// in 32 bits, and 64 MiB is long enough to cost nothing per request.
constexpr std::size_t bytes_per_read = std::size_t{1} << 26;

// Header offsets of the fields the reader looks at.
constexpr int header_offset_size = 0;
constexpr int header_offset_flags = 4;
constexpr int header_offset_height = 8;
constexpr int header_offset_width = 12;
constexpr int header_offset_fourcc = 80;

// Header flags every DXTC file sets: capabilities (0x1), height (0x2),
// width (0x4), pixel format (0x1000) and linear size (0x80000).
constexpr std::uint32_t ddsd_caps = 0x1;
constexpr std::uint32_t ddsd_height = 0x2;
constexpr std::uint32_t ddsd_width = 0x4;
constexpr std::uint32_t ddsd_pixelformat = 0x1000;
constexpr std::uint32_t ddsd_linearsize = 0x80000;
constexpr std::uint32_t ddsd_required =
    ddsd_caps | ddsd_height | ddsd_width | ddsd_pixelformat | ddsd_linearsize;
static_assert(ddsd_required == 0x00081007, "required header flags");

int is_dds_signature(const unsigned char *bytes) {
    return read_u32(bytes) == fourcc_dds;
}

int read_dds_header(std::FILE *input, image *img) {
    // A stream that cannot tell where it stands (a pipe) has just been opened
    // and is at its start; any other is taken back to its start.
    errno = 0;
    const long position = std::ftell(input);
    const bool at_start = position == 0 || (position < 0 && errno == ESPIPE);
    if (!at_start && std::fseek(input, 0, SEEK_SET) != 0) {
        show_message(message_error, "%s: %s", "Error seeking to beginning of input file",
                     std::strerror(errno));
        return 1;
    }

    unsigned char signature[dds_signature_size];
    if (std::fread(signature, 1, sizeof signature, input) != sizeof signature) {
        show_message(message_error, "%s: %s", "Error reading DDS signature from input file",
                     read_failure_reason(input, errno));
        return 1;
    }
    if (!is_dds_signature(signature)) {
        show_message(message_error, "Input file does not appear to be a DDS file");
        return 1;
    }

    unsigned char header[dds_header_size];
    if (std::fread(header, 1, sizeof header, input) != sizeof header) {
        show_message(message_error, "%s: %s", "Error reading DDS header from input file",
                     read_failure_reason(input, errno));
        return 1;
    }
    if (read_u32(header + header_offset_size) != dds_header_size) {
        show_message(message_error, "DDS file header is wrong size?  Unable to continue.");
        return 1;
    }
    if ((read_u32(header + header_offset_flags) & ddsd_required) != ddsd_required) {
        show_message(message_error, "Input file does not appear to contain a DXTC texture.");
        return 1;
    }

    std::uint32_t code = read_u32(header + header_offset_fourcc);
    if (code != fourcc_dxt1 && code != fourcc_dxt3 && code != fourcc_dxt5) {
        // The code's bytes in file order; the text ends early at a zero byte.
        char text[5];
        std::memcpy(text, header + header_offset_fourcc, 4);
        text[4] = '\0';
        show_message(message_error, "%s compression type is not supported.", text);
        return 1;
    }

    // Zero sides have nothing to convert, and a side above 65535 does not fit
    // the TGA header; this also keeps both sides positive as signed values.
    std::uint32_t width = read_u32(header + header_offset_width);
    std::uint32_t height = read_u32(header + header_offset_height);
    if (width == 0 || height == 0 || width > dds_max_side || height > dds_max_side) {
        show_message(message_error,
                     "Image dimensions are not supported (width and height must be 1 to 65535).");
        return 1;
    }

    img->width = static_cast<std::int32_t>(width);
    img->height = static_cast<std::int32_t>(height);
    img->fourcc = code;
    return 0;
}

std::uint64_t image_data_size(const image *img) {
    const std::uint64_t blocks_across =
        (static_cast<std::uint64_t>(img->width) + block_side - 1) / block_side;
    const std::uint64_t blocks_down =
        (static_cast<std::uint64_t>(img->height) + block_side - 1) / block_side;
    return blocks_across * blocks_down * block_size_of(img->fourcc);
}

int check_image_data_size(const image *img, std::uint64_t available) {
    if (available >= image_data_size(img))
        return 0;
    show_message(message_error, "%s: %s", read_data_error, end_of_file_reason);
    return 1;
}

int read_image_data(std::FILE *input, const image *img, unsigned char *data) {
    std::uint64_t remaining = image_data_size(img);
    while (remaining > 0) {
        const std::size_t wanted =
            remaining < bytes_per_read ? static_cast<std::size_t>(remaining) : bytes_per_read;
        if (std::fread(data, 1, wanted, input) != wanted) {
            show_message(message_error, "%s: %s", read_data_error,
                         read_failure_reason(input, errno));
            return 1;
        }
        data += wanted;
        remaining -= wanted;
    }
    return 0;
}
