#include "common/messages.h"
#include "dds_builder.h"
#include "recording_platform.h"
#include "tga/tga_writer.h"

#include <gtest/gtest.h>

namespace {

const bytes footer = {0,   0,   0,   0,   0,   0,   0,   0,   'T', 'R', 'U', 'E', 'V',
                      'I', 'S', 'I', 'O', 'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

TEST(tga_writer, header_bottom_row_first_and_footer) {
    // A 4 x 2 image: row 0 counts 1..4, row 1 counts 5..8, bottom row first.
    std::vector<pixel> pixels = {0x80000005, 0x80000006, 0x80000007, 0x80000008,
                                 0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004};
    image img = {4, 2, pixels.data(), fourcc_dxt1};
    std::FILE *output = std::tmpfile();
    EXPECT_EQ(write_tga_header(output, &img), 0);
    EXPECT_EQ(write_tga_image(output, &img), 0);
    EXPECT_EQ(write_tga_footer(output), 0);
    bytes written = contents_of(output);
    std::fclose(output);

    bytes expected = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 2, 0, 0x20, 0x08};
    for (int p : {5, 6, 7, 8})
        expected.insert(expected.end(), {static_cast<unsigned char>(p), 0, 0, 0x80});
    for (int p : {1, 2, 3, 4})
        expected.insert(expected.end(), {static_cast<unsigned char>(p), 0, 0, 0xFF});
    expected.insert(expected.end(), footer.begin(), footer.end());
    EXPECT_EQ(written, expected);
}

TEST(tga_writer, sides_are_little_endian_16_bit) {
    image img = {0x1234, 0xFFFF, nullptr, fourcc_dxt1};
    std::FILE *output = std::tmpfile();
    EXPECT_EQ(write_tga_header(output, &img), 0);
    bytes written = contents_of(output);
    std::fclose(output);
    ASSERT_EQ(written.size(), 18u);
    EXPECT_EQ(bytes(written.begin() + 12, written.begin() + 16), (bytes{0x34, 0x12, 0xFF, 0xFF}));
}

// On a full disk each writer reports its own stage: each flushes what it
// wrote, so nothing of one stage is left for the next to report.
TEST(tga_writer, full_disk_is_reported_by_the_stage_that_wrote_the_bytes) {
    std::vector<pixel> pixels(1024 * 64, 0xFF102030);
    const struct {
        int stage;
        int width; // 8: every row fits the stream's buffer; 1024: rows overflow it
        const char *message;
    } cases[] = {{0, 8, "Error writing TGA header to output file: No space left on device"},
                 {1, 8, "Error writing image data to output file: No space left on device"},
                 {1, 1024, "Error writing image data to output file: No space left on device"},
                 {2, 8, "Error writing TGA footer to output file: No space left on device"}};
    for (const auto &c : cases) {
        reset_platform();
        image img = {c.width, 64, pixels.data(), fourcc_dxt1};
        std::FILE *output = std::fopen("/dev/full", "wb");
        ASSERT_NE(output, nullptr);
        int failed = c.stage == 0   ? write_tga_header(output, &img)
                     : c.stage == 1 ? write_tga_image(output, &img)
                                    : write_tga_footer(output);
        EXPECT_EQ(failed, 1);
        std::fclose(output);
        ASSERT_EQ(recorded_messages.size(), 1u);
        EXPECT_EQ(recorded_messages[0].kind, message_error);
        EXPECT_EQ(recorded_messages[0].text, c.message);
    }
}

} // namespace
