// Fuzz target: one DDS file, held in memory, through every stage of a conversion.
//
// The stages run in the driver's order: read_dds_header, the pixel buffer,
// read_image_data and decode_image (the whole image as one band), then write_tga_header,
// write_tga_image and write_tga_footer into a stream in memory. Besides the sanitizers' own checks,
// every run asserts what the program promises its users:
//
//   - a failing stage shows exactly one error message, with one of the
//     program's fixed sentences; a stage that succeeds shows none;
//   - a decoded image writes every pixel of its buffer: decoding into a
//     buffer of zero bytes and into one of 0xFF bytes gives the same file,
//     so no uninitialised memory can reach the output;
//   - every pixel is the one its block gives decoded on its own by
//     decode_block, so the vector decoder agrees with the plain one;
//   - the TGA file is 18 + width * height * 4 + 26 bytes, with the footer last;
//   - a stream that fills up after `limit` bytes fails in the stage whose
//     bytes did not fit: the header below 18 bytes, the rows below the
//     footer, the footer below the whole file.
//
// The same entry point runs under libFuzzer (preset `fuzz`) and under the
// plain replay main in replay_main.cpp, which every test run uses.
#include "common/messages.h"
#include "dds/dds_reader.h"
#include "dds/dxtc.h"
#include "driver/platform.h"
#include "tga/tga_writer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// Larger images are skipped: a buffer of millions of pixels costs time on
// every run without reaching new code. The program's own size limits are
// covered by the end-to-end tests of the executable.
constexpr std::size_t max_fuzz_pixels = std::size_t{1} << 20;

constexpr std::size_t tga_header_bytes = 18;
constexpr std::size_t tga_footer_bytes = 26;
constexpr char tga_footer_tail[] = "TRUEVISION-XFILE."; // last 18 bytes, with the zero byte

// Every message the stages show begins with one of these sentences, or
// (for a code that is not supported) ends with the last one.
constexpr const char *known_sentences[] = {
    "Error seeking to beginning of input file: ",
    "Error reading DDS signature from input file: ",
    "Input file does not appear to be a DDS file",
    "Error reading DDS header from input file: ",
    "DDS file header is wrong size?  Unable to continue.",
    "Input file does not appear to contain a DXTC texture.",
    "Image dimensions are not supported (width and height must be 1 to 65535).",
    "Error reading image data from input file: ",
    "Error writing TGA header to output file: ",
    "Error writing image data to output file: ",
    "Error writing TGA footer to output file: ",
};
constexpr char unsupported_code[] = " compression type is not supported.";

static void require(bool holds, const char *promise) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_convert: broken promise: %s\n", promise);
        std::abort();
    }
}

static bool is_known_message(const char *text) {
    for (const char *sentence : known_sentences)
        if (std::strncmp(text, sentence, std::strlen(sentence)) == 0)
            return true;
    const std::size_t length = std::strlen(text);
    const std::size_t suffix = sizeof unsupported_code - 1;
    // The code's own text is at most four bytes before the sentence, each
    // shown as \xHH at most.
    return length >= suffix && length <= suffix + 4 * escaped_size_per_byte &&
           std::strcmp(text + length - suffix, unsupported_code) == 0;
}

// The platform layer's stand-in: counts the messages and checks their kind and text.
static int messages_shown;

void platform_show_message(int kind, const char *, const char *text) {
    require(kind == message_error, "every message of a failing stage is an error");
    require(is_known_message(text), "every message is one of the program's sentences");
    ++messages_shown;
}

void platform_advise_large_buffer(void *, std::size_t) {}

// Runs one stage's result through the message rule and passes it on.
static int checked(int failed) {
    require(messages_shown == (failed ? 1 : 0), "a stage shows one message exactly when it fails");
    messages_shown = 0;
    return failed;
}

// Every pixel is the one its block gives decoded on its own by decode_block,
// whichever decoder (plain or vector) decode_image used for it.
static void check_blocks(const unsigned char *blocks, const image *img) {
    const std::size_t block_size = block_size_of(img->fourcc);
    for (int by = 0; by < img->height; by += block_side) {
        for (int bx = 0; bx < img->width; bx += block_side, blocks += block_size) {
            pixel block[block_side * block_side];
            decode_block(blocks, img, block, block_side);
            for (int y = by; y < by + block_side && y < img->height; ++y) {
                const std::size_t row =
                    static_cast<std::size_t>(img->height - 1 - y); // bottom row first
                for (int x = bx; x < bx + block_side && x < img->width; ++x)
                    require(img->pixels[row * img->width + x] ==
                                block[(y - by) * block_side + (x - bx)],
                            "decode_image gives every pixel decode_block gives");
            }
        }
    }
}

// Reads the header and decodes the image into a buffer filled with `fill`
// first. Returns the buffer, or null when a stage failed or the image is
// too large for fuzzing; the caller frees it.
static pixel *read_image(std::FILE *input, image *img, unsigned char fill) {
    if (checked(read_dds_header(input, img)))
        return nullptr;
    require(img->width >= 1 && img->height >= 1, "accepted sides are positive");
    const std::size_t count =
        static_cast<std::size_t>(img->width) * static_cast<std::size_t>(img->height);
    if (count > max_fuzz_pixels)
        return nullptr;
    // Exactly width * height pixels, so the sanitizer sees any write past them.
    img->pixels = static_cast<pixel *>(std::malloc(count * sizeof(pixel)));
    require(img->pixels != nullptr, "a small buffer can be had");
    std::memset(img->pixels, fill, count * sizeof(pixel));
    // Exactly the image's block data, so the sanitizer sees any read past it.
    std::vector<unsigned char> blocks(static_cast<std::size_t>(image_data_size(img)));
    if (checked(read_image_data(input, img, blocks.data()))) {
        std::free(img->pixels);
        return nullptr;
    }
    decode_image(blocks.data(), img);
    check_blocks(blocks.data(), img);
    return img->pixels;
}

// Which writer fails first: 0 none, 1 header, 2 rows, 3 footer.
static int write_tga(std::FILE *output, const image *img) {
    if (checked(write_tga_header(output, img)))
        return 1;
    if (checked(write_tga_image(output, img)))
        return 2;
    if (checked(write_tga_footer(output)))
        return 3;
    return 0;
}

// The whole TGA file for `img`, written through the three writers.
static std::vector<unsigned char> tga_file(const image *img) {
    char *buffer = nullptr;
    std::size_t length = 0;
    std::FILE *output = open_memstream(&buffer, &length);
    require(output != nullptr, "a stream in memory can be opened");
    require(write_tga(output, img) == 0, "writing into memory succeeds");
    require(std::fclose(output) == 0, "closing a stream in memory succeeds");
    std::vector<unsigned char> file(buffer, buffer + length);
    std::free(buffer);
    return file;
}

// Writes into a stream that holds only `limit` bytes and checks which stage fails.
static void write_with_limit(const image *img, std::size_t total, std::size_t limit) {
    std::vector<char> space(limit + 1);
    std::FILE *output = fmemopen(space.data(), limit, "wb");
    require(output != nullptr, "a limited stream in memory can be opened");
    const std::size_t rows_end = total - tga_footer_bytes;
    const int expected = limit < tga_header_bytes ? 1
                         : limit < rows_end       ? 2
                         : limit < total          ? 3
                                                  : 0;
    require(write_tga(output, img) == expected, "a full stream fails in the stage that overflowed");
    std::fclose(output);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // fmemopen wants a writable buffer of at least one byte; the stream holds `size`.
    std::vector<unsigned char> file(data, data + size);
    file.push_back(0);
    std::FILE *input = fmemopen(file.data(), size, "rb");
    require(input != nullptr, "a stream over the input can be opened");
    messages_shown = 0;

    image zeros = {};
    image ones = {};
    if (read_image(input, &zeros, 0x00) != nullptr) {
        // The second pass re-reads the header, which seeks back to the start.
        require(read_image(input, &ones, 0xFF) != nullptr, "a second decode succeeds too");
        const std::vector<unsigned char> first = tga_file(&zeros);
        const std::vector<unsigned char> second = tga_file(&ones);
        const std::size_t total = tga_header_bytes +
                                  static_cast<std::size_t>(zeros.width) * zeros.height * 4 +
                                  tga_footer_bytes;
        require(first.size() == total, "the TGA file has header, every row and footer");
        require(first == second, "every pixel of the buffer is decoded");
        require(std::memcmp(first.data() + total - sizeof tga_footer_tail, tga_footer_tail,
                            sizeof tga_footer_tail) == 0,
                "the file ends with the footer signature");

        // A stream that fills up, at a place chosen by the input itself.
        std::size_t limit = 0;
        for (std::size_t i = 0; i < size; ++i)
            limit = limit * 31 + data[i];
        write_with_limit(&zeros, total, limit % (total + 1));

        std::free(zeros.pixels);
        std::free(ones.pixels);
    }
    std::fclose(input);
    return 0;
}
