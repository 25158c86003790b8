#include "convert.h"

#include "dds/dds_header.h"
#include "dds/dxtc.h"
#include "messages.h"
#include "output_name.h"
#include "platform.h"
#include "tga/tga_writer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr const char open_output_error[] = "Error opening output file";

// The program path as invoked, for the usage message.
static const char *program_name;

void show_usage() {
    show_message(message_error, "Usage: %s inputfile.dds outputfile.tga", program_name);
}

// Shows the help or the version when `argument`, the only one, asks for it.
// Only called once no file of that name was found: a file named "--help"
// is converted like any other.
static int show_requested_text(const char *argument) {
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        // One short paragraph: the manual page or the README has the rest.
        show_message(message_information,
                     "Usage: %s inputfile.dds [outputfile.tga | folder]  Converts a DXT1, DXT3 "
                     "or DXT5 DDS texture to a 32-bit TGA image. More: %s",
                     program_name, platform_manual);
        return 1;
    }
    if (std::strcmp(argument, "--version") == 0) {
        show_message(message_information, "dxtc2tga %s", DXTC2TGA_VERSION);
        return 1;
    }
    return 0;
}

// The buffer for width * height pixels, or null when it cannot be had. The
// size is checked before it is multiplied, so it cannot wrap around into a
// smaller allocation on a 32-bit host.
static pixel *allocate_pixels(const image *img) {
    const std::size_t width = static_cast<std::size_t>(img->width);
    const std::size_t height = static_cast<std::size_t>(img->height);
    if (width == 0 || height == 0 || height > SIZE_MAX / sizeof(pixel) / width)
        return nullptr;
    const std::size_t size = width * height * sizeof(pixel);
    pixel *pixels = static_cast<pixel *>(std::malloc(size));
    if (pixels != nullptr)
        platform_advise_large_buffer(pixels, size);
    return pixels;
}

// Writes the TGA file. The output is opened only once the whole image is
// decoded, and a file that can be replaced whole is written under a
// temporary name and put in place only once complete: a conversion that
// fails or is interrupted leaves no partial file, and an existing file of
// that name stays as it was.
static int write_output(const char *output_name, int may_replace, std::FILE *input,
                        const image *img) {
    set_message_file(output_name); // the messages from here on are about the output
    const char *reason = nullptr;
    std::FILE *output = platform_open_output(output_name, may_replace, input, &reason);
    if (output == nullptr) {
        show_message(message_error, "%s: %s", open_output_error, reason);
        return exit_open_output;
    }
    int code = exit_success;
    if (write_tga_header(output, img))
        code = exit_tga_header;
    else if (write_tga_image(output, img))
        code = exit_tga_image;
    else if (write_tga_footer(output))
        code = exit_tga_footer;
    if (code != exit_success) {
        platform_discard_output(output); // the stage has reported
        return code;
    }

    switch (platform_finish_output(output, &reason)) {
    case output_placed:
        return exit_success;
    case output_name_taken: // appeared while we wrote, and nobody agreed to replace it
        show_message(message_error, "%s: %s", open_output_error, reason);
        return exit_open_output;
    case output_not_placed:
        break;
    }
    show_message(message_error, "%s: %s", "Error writing TGA footer to output file", reason);
    return exit_tga_footer;
}

// Steps after the input is open: output name, header, buffer, decoding, output.
static int convert_input(std::FILE *input, const char *input_name, const char *output_name,
                         image *img) {
    static char chosen_name[output_name_size];
    int may_replace = 1; // a name on the command line is used as typed
    if (output_name != nullptr && platform_is_folder(output_name)) {
        // A folder receives the proposal's name, as cp does.
        if (!output_in_folder(output_name, input_name, chosen_name)) {
            set_message_file(output_name);
            show_message(message_error, "%s: %s", open_output_error, std::strerror(ENAMETOOLONG));
            return exit_open_output;
        }
        output_name = chosen_name;
    } else if (output_name == nullptr) {
        switch (choose_output_name(input_name, chosen_name)) {
        case output_name_chosen:
            break;
        case output_name_new:      // a file that appears meanwhile is not the one chosen
        case output_name_proposed: // nobody was asked, so nothing may be replaced
            may_replace = 0;
            break;
        case output_name_cancelled:
            return exit_success;
        case output_name_failed:
            return exit_save_dialog;
        }
        output_name = chosen_name;
    }

    if (read_dds_header(input, img))
        return exit_dds_header;

    img->pixels = allocate_pixels(img);
    if (img->pixels == nullptr) {
        show_message(message_error, "Unable to allocate memory for buffer");
        return exit_allocate;
    }

    if (decode_image(input, img))
        return exit_decode;

    int code = write_output(output_name, may_replace, input, img);
    if (code == exit_success)
        show_message(message_information, "Conversion to TGA complete.");
    return code;
}

int convert_main(int argc, char **argv) {
    // A process may be started with no arguments at all, not even its name.
    program_name = argc > 0 && argv[0] != nullptr ? argv[0] : "dxtc2tga";
    set_message_file(nullptr); // the usage is about no file

    const char *input_name = nullptr;
    const char *output_name = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (input_name == nullptr) {
            input_name = argv[i];
        } else if (output_name == nullptr) {
            output_name = argv[i];
        } else {
            show_usage();
            return exit_usage;
        }
    }
    if (input_name == nullptr) {
        show_usage();
        return exit_usage;
    }

    set_message_file(input_name); // until the output is opened
    std::FILE *input = platform_open_input(input_name);
    if (input == nullptr) {
        const int error = errno;
        if (error == ENOENT && output_name == nullptr && show_requested_text(input_name))
            return exit_success;
        show_message(message_error, "%s: %s", "Error opening input file", std::strerror(error));
        return exit_open_input;
    }

    image img = {};
    int code = convert_input(input, input_name, output_name, &img);
    std::free(img.pixels);
    std::fclose(input);
    return code;
}
