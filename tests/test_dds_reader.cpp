#include "common/messages.h"
#include "dds/dds_reader.h"
#include "dds_builder.h"
#include "recording_platform.h"

#include <gtest/gtest.h>

namespace {

struct header_case {
    const char *name;
    bytes file;
    const char *message; // the whole message, or its fixed sentence when a system text follows
};

bytes with_u32(bytes file, std::size_t offset, std::uint32_t value) {
    put_u32(file, offset, value);
    return file;
}

bytes first(const bytes &file, std::size_t count) {
    return bytes(file.begin(), file.begin() + count);
}

const bytes valid = dds_file(8, 4, fourcc_dxt1);
const char *const wrong_size = "DDS file header is wrong size?  Unable to continue.";
const char *const not_dxtc = "Input file does not appear to contain a DXTC texture.";
const char *const bad_dimensions =
    "Image dimensions are not supported (width and height must be 1 to 65535).";

const header_case rejections[] = {
    {"empty", {}, "Error reading DDS signature from input file: "},
    {"three_bytes", first(valid, 3), "Error reading DDS signature from input file: "},
    {"signature_only", first(valid, 4), "Error reading DDS header from input file: "},
    {"header_short", first(valid, 127), "Error reading DDS header from input file: "},
    {"lower_case_signature", with_u32(valid, 0, fourcc('d', 'd', 's', ' ')),
     "Input file does not appear to be a DDS file"},
    {"size_128", with_u32(valid, 4, 128), wrong_size},
    {"size_0", with_u32(valid, 4, 0), wrong_size},
    {"pitch_instead_of_linear_size", with_u32(valid, 8, 0x100F), not_dxtc},
    {"no_caps_flag", with_u32(valid, 8, 0x81006), not_dxtc},
    {"dxt2", with_u32(valid, 84, fourcc('D', 'X', 'T', '2')),
     "DXT2 compression type is not supported."},
    {"ati2", with_u32(valid, 84, fourcc('A', 'T', 'I', '2')),
     "ATI2 compression type is not supported."},
    {"zero_code", with_u32(valid, 84, 0), " compression type is not supported."},
    {"code_ends_at_zero", with_u32(valid, 84, fourcc('D', 'X', 0, '5')),
     "DX compression type is not supported."},
    {"width_0", with_u32(valid, 16, 0), bad_dimensions},
    {"height_0", with_u32(valid, 12, 0), bad_dimensions},
    {"width_65536", with_u32(valid, 16, 65536), bad_dimensions},
    {"height_2_31", with_u32(valid, 12, 0x80000000u), bad_dimensions},
    {"width_2_32_less_1", with_u32(valid, 16, 0xFFFFFFFFu), bad_dimensions},
    // The code is checked before the sides.
    {"code_before_dimensions", with_u32(with_u32(valid, 16, 0), 84, fourcc('D', 'X', 'T', '2')),
     "DXT2 compression type is not supported."},
};

void PrintTo(const header_case &c, std::ostream *os) {
    *os << c.name;
}

class header_rejection : public testing::TestWithParam<header_case> {};

TEST_P(header_rejection, shows_one_error_and_leaves_the_record_alone) {
    reset_platform();
    std::FILE *input = stream_of(GetParam().file);
    image img = {7, 9, nullptr, 11};
    EXPECT_EQ(read_dds_header(input, &img), 1);
    std::fclose(input);

    ASSERT_EQ(recorded_messages.size(), 1u);
    EXPECT_EQ(recorded_messages[0].kind, message_error);
    const std::string expected = GetParam().message;
    if (expected.back() == ' ') // a system text follows
        EXPECT_EQ(recorded_messages[0].text.substr(0, expected.size()), expected);
    else
        EXPECT_EQ(recorded_messages[0].text, expected);
    EXPECT_EQ(img.width, 7);
    EXPECT_EQ(img.height, 9);
    EXPECT_EQ(img.fourcc, 11u);
}

INSTANTIATE_TEST_SUITE_P(files, header_rejection, testing::ValuesIn(rejections),
                         [](const testing::TestParamInfo<header_case> &info) {
                             return std::string(info.param.name);
                         });

TEST(read_dds_header, accepts_each_code_and_the_extreme_sides_and_stops_at_offset_128) {
    const struct {
        std::uint32_t width, height, code;
    } accepted[] = {{8, 4, fourcc_dxt1}, {1, 65535, fourcc_dxt3}, {65535, 1, fourcc_dxt5}};
    for (const auto &c : accepted) {
        reset_platform();
        bytes file = dds_file(c.width, c.height, c.code, bytes(40, 0xAB));
        file = with_u32(file, 28, 9); // mipmaps are accepted and ignored
        std::FILE *input = stream_of(file);
        std::fgetc(input); // the reader seeks back to the start itself
        image img = {};
        EXPECT_EQ(read_dds_header(input, &img), 0);
        EXPECT_EQ(std::ftell(input), 128);
        std::fclose(input);
        EXPECT_TRUE(recorded_messages.empty());
        EXPECT_EQ(img.width, static_cast<std::int32_t>(c.width));
        EXPECT_EQ(img.height, static_cast<std::int32_t>(c.height));
        EXPECT_EQ(img.fourcc, c.code);
    }
}

} // namespace
