#include "convert.h"

#include "common/messages.h"
#include "dds/dds_reader.h"
#include "dds/dxtc.h"
#include "output_name.h"
#include "platform.h"
#include "tga/tga_writer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr const char open_output_error[] = "Error opening output file";
constexpr const char no_output_name_error[] =
    "Not a regular file; give the output name on the command line";

// The program path as invoked, for the usage message.
static const char *program_name;

// Shows "Usage: PROGRAM inputfile.dds outputfile.tga" as an error.
static void show_usage() {
    show_message(message_error, "Usage: %s inputfile.dds outputfile.tga", program_name);
}

// What --help shows: the usage, what the program does, the output-name rule,
// the exit codes and where the rest is. The program name and the manual's
// place fill the two %s.
constexpr const char help_format[] =
    "Usage: %s inputfile.dds [outputfile.tga | folder]\n"
    "Converts a DXT1, DXT3 or DXT5 DDS texture to a 32-bit TGA image.\n"
    "Without an output name, the input name with .dds replaced by .tga (or .tga\n"
    "appended) is proposed, and a person at the terminal is asked to confirm it;\n"
    "a folder as output receives the file under that name.\n"
    "Exit status: 0 converted (or the question cancelled), 1 usage, 2 input not\n"
    "opened, 3 not a DXT1/3/5 DDS file, 4 out of memory, 5 image data cut short,\n"
    "6 output not opened, 7 to 9 output not written, 9 also no output name.\n"
    "More: %s\n";

// Shows the help or the version when `argument`, the only one, asks for it.
// Only called once no file of that name was found: a file named "--help"
// is converted like any other.
static int show_requested_text(const char *argument) {
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        // The program name as invoked, its control bytes escaped like a
        // message's, at any length.
        const std::size_t name_length = std::strlen(program_name);
        char *name = static_cast<char *>(std::malloc(name_length * escaped_size_per_byte + 1));
        const std::size_t size =
            sizeof help_format + name_length * escaped_size_per_byte + std::strlen(platform_manual);
        char *text = static_cast<char *>(std::malloc(size));
        if (name == nullptr || text == nullptr) {
            std::free(name);
            std::free(text);
            show_message(message_error, "Unable to allocate memory for buffer");
            return exit_allocate;
        }
        escape_control_bytes(program_name, name, name_length * escaped_size_per_byte + 1);
        std::snprintf(text, size, help_format, name, platform_manual);
        platform_show_text(text);
        std::free(name);
        std::free(text);
        return exit_success;
    }
    if (std::strcmp(argument, "--version") == 0) {
        platform_show_text("dxtc2tga " DXTC2TGA_VERSION "\n");
        return exit_success;
    }
    return -1;
}

// The image is converted a band of rows at a time, from the bottom band up
// (the TGA's order): 16 block rows to a band, fewer where a band's pixels
// would take more than 1 MiB (images wider than 4096 pixels), never fewer
// than one. Memory then stays the same at any height, a band stays in the
// processor's caches from its decoding to its write, and each band is
// written with one request: 1 MiB at 8192 pixels wide, large enough that
// the system calls per band cost little (256 KiB bands took a sixth longer
// at 8192², in all).
constexpr int band_block_rows = 16;
constexpr std::size_t band_budget = std::size_t{1} << 20;
// So a band always holds at least one block row, even at the widest image.
static_assert(band_budget >= std::size_t{dds_max_side} * block_side * sizeof(pixel),
              "one block row of the widest image fits a band");

// The run's state, passed down the driver's steps: the two files and their
// names, the image, the band of it being converted, and the block data the
// band is decoded from.
struct run {
    const char *input_name;
    std::FILE *input;
    int seekable; // the input is a file on a disk, read a band at a time from its end
    const char *output_name;
    output_consent consent; // who agreed that a file of that name may be replaced
    std::FILE *output;
    image img;
    image band;
    unsigned char *data;
};

static int band_height(const image *img) {
    const std::size_t block_row_bytes =
        static_cast<std::size_t>(img->width) * block_side * sizeof(pixel);
    std::size_t block_rows = band_budget / block_row_bytes;
    if (block_rows > band_block_rows)
        block_rows = band_block_rows;
    const int rows = static_cast<int>(block_rows) * block_side;
    return rows < img->height ? rows : img->height;
}

// A buffer of `size` bytes, or null when it cannot be had, including a size
// the platform cannot even count (a 32-bit host).
static void *allocate(std::uint64_t size) {
    if (size == 0 || size > SIZE_MAX)
        return nullptr;
    return std::malloc(static_cast<std::size_t>(size));
}

// Reads, decodes and writes the bands from the bottom of the image up. On a
// file on a disk each band's block data is read when its turn comes (its
// size was checked before the output was opened, so only a failing disk or
// a file cut meanwhile stops it); otherwise `data` holds it all already.
// A failed read is about the input file, a failed write about the output.
static int write_bands(run *r) {
    image *band = &r->band;
    const image *img = &r->img;
    const int band_rows = band->height;
    const image block_row = {img->width, block_side, nullptr, img->fourcc};
    const std::uint64_t block_row_bytes = image_data_size(&block_row);
    const std::uint64_t band_bytes = block_row_bytes * (band_rows / block_side);
    for (int top = (img->height - 1) / band_rows * band_rows; top >= 0; top -= band_rows) {
        band->height = img->height - top < band_rows ? img->height - top : band_rows;
        const std::uint64_t offset = top / block_side * block_row_bytes;
        const unsigned char *blocks = r->data;
        if (!r->seekable) {
            blocks = r->data + offset;
        } else {
            set_message_file(r->input_name);
            if (platform_seek_input(r->input, dds_data_offset + offset) != 0) {
                show_message(message_error, "%s: %s", read_data_error, std::strerror(errno));
                return exit_decode;
            }
            if (read_image_data(r->input, band, r->data))
                return exit_decode;
            if (offset > 0) // the band above is read next
                platform_advise_input(r->input, dds_data_offset + offset - band_bytes, band_bytes);
            set_message_file(r->output_name);
        }
        decode_image(blocks, band);
        platform_prepare_output_write();
        if (write_tga_image(r->output, band))
            return exit_tga_image;
    }
    return exit_success;
}

// Writes the TGA file. The output is opened only once the input is known to
// hold the whole image, and a file that can be replaced whole is written
// under a temporary name and put in place only once complete: a conversion
// that fails or is interrupted leaves no partial file, and an existing file
// of that name stays as it was.
static int write_output(run *r) {
    set_message_file(r->output_name); // the messages from here on are about the output
    const char *reason = nullptr;
    r->output = platform_open_output(r->output_name, r->consent, r->input, &reason);
    // A file that is no TGA file is replaced only when a person says yes.
    if (r->output == nullptr && reason == output_not_tga_reason &&
        platform_confirm_replace(r->output_name) == 1) {
        r->consent = consent_confirmed;
        r->output = platform_open_output(r->output_name, r->consent, r->input, &reason);
    }
    if (r->output == nullptr) {
        show_message(message_error, "%s: %s", open_output_error, reason);
        return exit_open_output;
    }
    // Each band goes to the system as one request, as stdio would not pass
    // it on whole; nothing then waits in a buffer for the next writer.
    std::setvbuf(r->output, nullptr, _IONBF, 0);
    platform_reserve_output(r->output, tga_file_size(&r->img));

    int code = exit_success;
    platform_prepare_output_write();
    if (write_tga_header(r->output, &r->img))
        code = exit_tga_header;
    else
        code = write_bands(r);
    platform_prepare_output_write();
    if (code == exit_success && write_tga_footer(r->output))
        code = exit_tga_footer;
    if (code != exit_success) {
        platform_discard_output(r->output); // the stage has reported
        return code;
    }

    switch (platform_finish_output(r->output, &reason)) {
    case output_placed:
        return exit_success;
    case output_name_taken: // appeared while we wrote, and nobody agreed to replace it
        show_message(message_error, "%s: %s", open_output_error, reason);
        return exit_open_output;
    case output_not_placed:
        break;
    }
    show_message(message_error, "%s: %s", tga_footer_error, reason);
    return exit_tga_footer;
}

// Steps after the input is open: output name, header, buffers, the input's
// size, output. Besides the image record the conversion holds one band of
// pixels (in the `band` record) and the block data it is decoded from: an
// input read in order (a pipe) whole, at its compressed size; a file on a
// disk, read from its end, only a band's share. The caller frees both.
static int convert_input(run *r) {
    static char chosen_name[output_name_size];
    r->consent = consent_command_line; // a name on the command line is used as typed
    if (r->output_name != nullptr && platform_is_folder(r->output_name)) {
        // A folder receives the proposal's name, as cp does.
        if (!output_in_folder(r->output_name, r->input_name, chosen_name)) {
            set_message_file(r->output_name);
            show_message(message_error, "%s: %s", open_output_error, std::strerror(ENAMETOOLONG));
            return exit_open_output;
        }
        r->output_name = chosen_name;
    } else if (r->output_name == nullptr) {
        // A pipe or a device has no name to make a file's from ("/dev/stdin"
        // would give "/dev/stdin.tga"): refused before anything is read.
        std::uint64_t size = 0;
        if (!platform_input_size(r->input, &size)) {
            show_message(message_error, "%s", no_output_name_error);
            return exit_save_dialog;
        }
        switch (choose_output_name(r->input_name, chosen_name)) {
        case output_name_chosen:
            r->consent = consent_confirmed;
            break;
        case output_name_new:      // a file that appears meanwhile is not the one chosen
        case output_name_proposed: // nobody was asked, so nothing may be replaced
            r->consent = consent_none;
            break;
        case output_name_cancelled:
            return exit_success;
        case output_name_failed:
            return exit_save_dialog;
        }
        r->output_name = chosen_name;
    }

    image *img = &r->img;
    if (read_dds_header(r->input, img))
        return exit_dds_header;

    std::uint64_t input_size = 0;
    r->seekable = platform_input_size(r->input, &input_size);
    r->band = {img->width, band_height(img), nullptr, img->fourcc};
    const std::uint64_t data_size = image_data_size(r->seekable ? &r->band : img);
    r->band.pixels = static_cast<pixel *>(
        allocate(static_cast<std::uint64_t>(r->band.width) * r->band.height * sizeof(pixel)));
    r->data = static_cast<unsigned char *>(allocate(data_size));
    if (r->band.pixels == nullptr || r->data == nullptr) {
        show_message(message_error, "Unable to allocate memory for buffer");
        return exit_allocate;
    }

    // A file cut short fails here, before there is an output file; an input
    // read in order is read whole before it.
    if (r->seekable) {
        const std::uint64_t available =
            input_size > dds_data_offset ? input_size - dds_data_offset : 0;
        if (check_image_data_size(img, available))
            return exit_decode;
    } else {
        platform_advise_large_buffer(r->data, static_cast<std::size_t>(data_size));
        if (read_image_data(r->input, img, r->data))
            return exit_decode;
    }

    const int code = write_output(r);
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
        if (error == ENOENT && output_name == nullptr) {
            const int code = show_requested_text(input_name);
            if (code >= 0)
                return code;
        }
        show_message(message_error, "%s: %s", "Error opening input file", std::strerror(error));
        return exit_open_input;
    }

    run r = {};
    r.input_name = input_name;
    r.input = input;
    r.output_name = output_name;
    const int code = convert_input(&r);
    std::free(r.band.pixels);
    std::free(r.data);
    std::fclose(input);
    return code;
}
