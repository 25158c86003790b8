#include "common/messages.h"
#include "dds_builder.h"
#include "driver/convert.h"
#include "driver/output_name.h"
#include "recording_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string temp_path(const std::string &name) {
    return testing::TempDir() + "convert_test_" + std::to_string(getpid()) + "_" + name;
}

void write_file(const std::string &path, const bytes &data) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

bool exists(const std::string &path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0;
}

long size_of(const std::string &path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 ? static_cast<long>(s.st_size) : -1;
}

// Runs convert_main; the save dialog answers as the test has set it.
int run(std::vector<std::string> args) {
    recorded_messages.clear();
    dialog_offered.clear();
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return convert_main(static_cast<int>(args.size()), argv.data());
}

void expect_one_message(int kind, const std::string &text) {
    ASSERT_EQ(recorded_messages.size(), 1u);
    EXPECT_EQ(recorded_messages[0].kind, kind);
    EXPECT_EQ(recorded_messages[0].text, text);
}

TEST(convert_main, argument_rules) {
    const std::string usage = "Usage: prog inputfile.dds outputfile.tga";
    EXPECT_EQ(run({"prog"}), 1);
    expect_one_message(message_error, usage);
    EXPECT_EQ(run({"prog", "missing.dds", "out.tga", "third"}), 1); // before the input is opened
    expect_one_message(message_error, usage);
    EXPECT_EQ(run({"prog", ""}), 2);
    expect_one_message(message_error, "Error opening input file: No such file or directory");
    EXPECT_EQ(run({"prog", "-h", "out.tga"}), 2); // no options: a dash starts a file name
    expect_one_message(message_error, "Error opening input file: No such file or directory");

    // Alone and with no file of that name, three names ask for the usage or the version.
    for (const char *option : {"--help", "-h"}) {
        EXPECT_EQ(run({"prog", option}), 0);
        ASSERT_EQ(recorded_messages.size(), 1u);
        EXPECT_EQ(recorded_messages[0].kind, message_information);
        EXPECT_EQ(recorded_messages[0].text.rfind(
                      "Usage: prog inputfile.dds [outputfile.tga | folder]", 0),
                  0u);
    }
    EXPECT_EQ(run({"prog", "--version"}), 0);
    ASSERT_EQ(recorded_messages.size(), 1u);
    EXPECT_EQ(recorded_messages[0].text.rfind("dxtc2tga 1.", 0), 0u);

    char *no_arguments[] = {nullptr};
    recorded_messages.clear();
    EXPECT_EQ(convert_main(0, no_arguments), 1);
    expect_one_message(message_error, "Usage: dxtc2tga inputfile.dds outputfile.tga");
}

std::string repeat(const std::string &text, int times) {
    std::string repeated;
    while (times-- > 0)
        repeated += text;
    return repeated;
}

TEST(show_message, cuts_the_text_at_1023_characters) {
    // "Usage: " takes 7 of the 1023 bytes, leaving 1016 for the name. A cut
    // never splits a UTF-8 character; text that is not UTF-8 is cut by bytes.
    const struct {
        std::string name;
        std::size_t kept;
    } cases[] = {
        {std::string(3000, 'p'), 1016},
        {"p" + repeat("\u00e9", 1000), 1015},           // 2 bytes each
        {"p" + repeat("\u30c6", 1000), 1 + 338 * 3},    // 3 bytes each
        {"pp" + repeat("\U0001f600", 300), 1014},       // 4 bytes each
        {repeat("\U0001f600", 300), 1016},              // the cut falls between two
        {std::string(3000, '\xe9'), 1016},              // Latin-1, not UTF-8
        {"p" + repeat("\xed\xa0\x80", 500), 1016},      // an encoded surrogate is not UTF-8
        {"p" + repeat("\xe0\x80\x80", 500), 1016},      // nor an overlong "\0"
        {"pp" + repeat("\xf4\x90\x80\x80", 300), 1016}, // nor a code point past U+10FFFF
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run({c.name}), 1);
        ASSERT_EQ(recorded_messages.size(), 1u);
        // Cut first, then escaped: the bytes 0x80-0x9F outside a character are C1.
        std::string shown(4 * 1024, '\0');
        shown.resize(escape_control_bytes(("Usage: " + c.name.substr(0, c.kept)).c_str(), &shown[0],
                                          shown.size()));
        EXPECT_EQ(recorded_messages[0].text, shown) << c.kept;
    }
}

TEST(escape_control_bytes, shows_c0_delete_and_c1_as_hex) {
    const struct {
        const char *text, *shown;
    } cases[] = {
        {"plain text", "plain text"},
        {"a\x01"
         "b\nc\x1b[2J\x7f",
         "a\\x01b\\x0Ac\\x1B[2J\\x7F"},
        {"CSI \x9b alone", "CSI \\x9B alone"},                        // C1 as a lone byte
        {"CSI \xc2\x9b in UTF-8", "CSI \\xC2\\x9B in UTF-8"},         // U+009B
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\xC2\\x80\\xC2\\x9F\xc2\xa0"}, // U+00A0 is no control
        {"\xd1\x80\xd0\x9f \xc3\xa9 \xe2\x80\x9c",
         "\xd1\x80\xd0\x9f \xc3\xa9 \xe2\x80\x9c"},     // "р П é “"
        {"\xe9\xff\xa0", "\xe9\xff\xa0"},               // Latin-1 bytes beyond C1 stay as they are
        {"\xe0\x80\x80", "\xe0\\x80\\x80"},             // an overlong form is no character
        {"x\xc1\x9b \xc0\x9b", "x\xc1\\x9B \xc0\\x9B"}, // C0 and C1 begin no character
        {"\xf5\x9b \xf7\x80", "\xf5\\x9B \xf7\\x80"},   // nor do F5 to F7
        {"a\xe2\x80\xae"
         "b \xe2\x81\xa6\xe2\x81\xa9", // U+202E, U+2066, U+2069
         "a\\xE2\\x80\\xAEb \\xE2\\x81\\xA6\\xE2\\x81\\xA9"},
        {"\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xaa",
         "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xaa"}, // their neighbours are no controls
    };
    for (const auto &c : cases) {
        char shown[64];
        EXPECT_EQ(escape_control_bytes(c.text, shown, sizeof shown), std::strlen(c.shown));
        EXPECT_STREQ(shown, c.shown) << c.text;
    }
    // An escape that does not fit is left out whole.
    char small[6];
    EXPECT_EQ(escape_control_bytes("ab\x01", small, sizeof small), 2u);
    EXPECT_STREQ(small, "ab");
}

TEST(output_in_folder, joins_the_folder_and_the_proposal_for_the_inputs_own_name) {
    const struct {
        const char *folder, *input, *name;
    } cases[] = {
        {"out", "a.dds", "out/a.tga"},     {"out/", "textures/b.DDS", "out/b.tga"},
        {"/", "/tmp/c", "/c.tga"},         {"x/y", "d.png", "x/y/d.png.tga"},
        {"out", "dir.dds/e", "out/e.tga"}, // only the own name's suffix counts
    };
    for (const auto &c : cases) {
        char name[output_name_size];
        EXPECT_EQ(output_in_folder(c.folder, c.input, name), 1) << c.name;
        EXPECT_STREQ(name, c.name);
    }
    // A name that would not fit is refused, not cut.
    const std::string folder(output_name_size - 7, 'f');
    char name[output_name_size];
    EXPECT_EQ(output_in_folder(folder.c_str(), "a.dds", name),
              1); // + "/a.tga" + terminator: all of it
    EXPECT_EQ(output_in_folder(folder.c_str(), "ab.dds", name), 0);
}

TEST(propose_output_name, replaces_dds_or_appends_tga) {
    const struct {
        std::string input, proposal;
    } cases[] = {
        {"texture.dds", "texture.tga"},
        {"texture.DDS", "texture.tga"},
        {"texture.Dds", "texture.tga"},
        {"texture.png", "texture.png.tga"},
        {"texture", "texture.tga"},
        {"archive.dds.bak", "archive.dds.bak.tga"},
        {"D:\\maps.old\\texture", "D:\\maps.old\\texture.tga"},
        {"maps.dds/texture", "maps.dds/texture.tga"},
        {"texture.ddsx", "texture.ddsx.tga"},
        {".dds", ".tga"},
        {"my.tex.dds", "my.tex.tga"},
        // The whole name is kept, up to the longest path the system opens.
        {std::string(300, 'a') + ".dds", std::string(300, 'a') + ".tga"},
        {std::string(output_name_input_part + 50, 'a'),
         std::string(output_name_input_part, 'a') + ".tga"},
        // A cut ends before a character it would split: 4095 bytes would
        // end inside the 2047th "é" (two bytes each) after "pp".
        {"pp" + repeat("\u00e9", 2100), "pp" + repeat("\u00e9", 2046) + ".tga"},
    };
    for (const auto &c : cases) {
        char name[output_name_size];
        propose_output_name(c.input.c_str(), name);
        EXPECT_EQ(std::string(name), c.proposal) << c.input;
    }
}

TEST(propose_dialog_name, the_full_path_when_it_fits_else_the_name_and_its_folder) {
    // A buffer of 254 bytes of name + ".tga" + terminator, so that paths of
    // a readable length reach its end.
    constexpr unsigned dialog_size = 259;
    const std::string deep = "Z:\\" + std::string(243, 'L') + "\\"; // 247 bytes
    const struct {
        std::string path, proposal, folder; // no folder: the dialog gets none
    } cases[] = {
        {"C:\\maps\\texture.DDS", "C:\\maps\\texture.tga", ""},
        {"C:\\maps.old\\texture", "C:\\maps.old\\texture.tga", ""},
        {deep + "texture.dds", deep + "texture.tga", ""}, // 258 bytes
        {deep + "texture1.dds", "texture1.tga", deep},    // 259: no room for the terminator
        {deep + "texture", deep + "texture.tga", ""},     // 258 bytes with ".tga"
        {deep + "texture1", "texture1.tga", deep},
        {"C:\\" + std::string(300, 'a') + ".dds", std::string(254, 'a') + ".tga", "C:\\"},
        {"C:/maps/" + std::string(252, 'a') + ".dds", std::string(252, 'a') + ".tga", "C:/maps/"},
        // A name cut alone ends between characters, unless it is not UTF-8.
        {"C:\\p" + repeat("\u00e9", 150), "p" + repeat("\u00e9", 126) + ".tga", "C:\\"},
        {"C:\\" + repeat("\u30c6", 100), repeat("\u30c6", 84) + ".tga", "C:\\"},
        {"C:\\p" + repeat("\U0001f600", 70), "p" + repeat("\U0001f600", 63) + ".tga", "C:\\"},
        {"C:\\" + std::string(300, '\xe9'), std::string(254, '\xe9') + ".tga", "C:\\"},
        {std::string(300, 'a'), std::string(254, 'a') + ".tga", ""}, // a bare name
    };
    for (const auto &c : cases) {
        char name[dialog_size];
        std::vector<char> folder(c.path.size() + 1, '?');
        const int has_folder =
            propose_dialog_name(c.path.c_str(), name, dialog_size, folder.data());
        EXPECT_EQ(std::string(name), c.proposal) << c.path;
        EXPECT_EQ(has_folder, c.folder.empty() ? 0 : 1) << c.path;
        EXPECT_EQ(has_folder ? std::string(folder.data()) : "", c.folder) << c.path;
    }
}

TEST(propose_dialog_name, the_full_path_only_as_long_as_the_dialog_shows_it_whole) {
    // The name buffer holds 780 bytes, but the dialog cuts a path of more
    // than 259 UTF-16 units at its start ("te.tga"): a character beyond
    // U+FFFF counts as two.
    const struct {
        std::string path, proposal, folder;
    } cases[] = {
        {"C:\\" + std::string(252, 'a') + ".dds", "C:\\" + std::string(252, 'a') + ".tga", ""},
        {"C:\\" + std::string(253, 'a') + ".dds", std::string(253, 'a') + ".tga", "C:\\"},
        {"C:\\" + repeat("\u0434", 252) + ".dds", "C:\\" + repeat("\u0434", 252) + ".tga", ""},
        {"C:\\" + repeat("\u0434", 253) + ".dds", repeat("\u0434", 253) + ".tga", "C:\\"},
        {"C:\\" + repeat("\u0434", 249) + "\\t", "C:\\" + repeat("\u0434", 249) + "\\t.tga", ""},
        {"C:\\" + repeat("\u0434", 251) + "\\t", "t.tga", "C:\\" + repeat("\u0434", 251) + "\\"},
        {"C:\\" + repeat("\u0434", 255) + "\\t", "t.tga", "C:\\" + repeat("\u0434", 255) + "\\"},
        {"C:\\" + repeat("\u0434", 256) + "\\t", "t.tga", ""}, // a folder the dialog would cut
        {"C:\\" + repeat("\U0001f600", 126) + ".dds", "C:\\" + repeat("\U0001f600", 126) + ".tga",
         ""},
        {"C:\\" + repeat("\U0001f600", 127) + ".dds", repeat("\U0001f600", 127) + ".tga", "C:\\"},
    };
    for (const auto &c : cases) {
        char name[output_name_size];
        std::vector<char> folder(c.path.size() + 1, '?');
        const int has_folder =
            propose_dialog_name(c.path.c_str(), name, output_name_size, folder.data());
        EXPECT_EQ(std::string(name), c.proposal) << c.path;
        EXPECT_EQ(has_folder ? std::string(folder.data()) : "", c.folder) << c.path;
    }
}

class pipeline : public testing::Test {
  protected:
    std::string input = temp_path("in.dds");
    std::string output = temp_path("in.tga");
    void SetUp() override {
        reset_platform();
        write_file(input, dds_file(4, 4, fourcc_dxt1, bytes(8, 0)));
        std::remove(output.c_str());
    }
    void TearDown() override {
        std::remove(input.c_str());
        std::remove(output.c_str());
    }
};

TEST_F(pipeline, converts_with_one_information_message) {
    EXPECT_EQ(run({"prog", input, output}), 0);
    expect_one_message(message_information, "Conversion to TGA complete.");
    EXPECT_EQ(size_of(output), 18 + 64 + 26);
}

TEST_F(pipeline, save_dialog_outcomes) {
    dialog_confirms = false;
    EXPECT_EQ(run({"prog", input}), 0); // cancelled: nothing shown, nothing written
    EXPECT_TRUE(recorded_messages.empty());
    EXPECT_EQ(dialog_offered, output);
    EXPECT_FALSE(exists(output));

    dialog_error = 0x3003;
    EXPECT_EQ(run({"prog", input}), 9);
    expect_one_message(message_error, "Save dialog error: 0x3003");
    EXPECT_FALSE(exists(output));

    reset_platform();
    EXPECT_EQ(run({"prog", input}), 0); // confirmed as proposed
    expect_one_message(message_information, "Conversion to TGA complete.");
    EXPECT_EQ(size_of(output), 108);
}

TEST_F(pipeline, header_is_read_after_the_dialog) {
    write_file(input, bytes(4, 'x'));
    EXPECT_EQ(run({"prog", input}), 3);
    EXPECT_EQ(dialog_offered, output);
    expect_one_message(message_error, "Input file does not appear to be a DDS file");
    EXPECT_FALSE(exists(output));
}

TEST_F(pipeline, failures_after_the_header) {
    write_file(input, dds_file(8, 4, fourcc_dxt5, bytes(16, 0))); // one of two blocks
    EXPECT_EQ(run({"prog", input, output}), 5);
    ASSERT_EQ(recorded_messages.size(), 1u);
    EXPECT_EQ(recorded_messages[0].text.rfind("Error reading image data from input file: ", 0), 0u);
    EXPECT_FALSE(exists(output));

    write_file(input, dds_file(4, 4, fourcc_dxt1, bytes(8, 0)));
    EXPECT_EQ(run({"prog", input, temp_path("no/such/folder.tga")}), 6);
    expect_one_message(message_error, "Error opening output file: No such file or directory");

    // The header is flushed at once, so a full disk is the header's failure.
    EXPECT_EQ(run({"prog", input, "/dev/full"}), 7);
    expect_one_message(message_error,
                       "Error writing TGA header to output file: No space left on device");
}

} // namespace
