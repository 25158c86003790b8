// The output name when the command line gives none: a proposal from the
// input name, confirmed or changed by the user in the save dialog.
#ifndef DXTC2TGA_DRIVER_OUTPUT_NAME_H
#define DXTC2TGA_DRIVER_OUTPUT_NAME_H

#include <climits>

// The name buffer: the longest input name the proposal keeps, + ".tga" +
// terminator. On Windows it is the save dialog's buffer, 254 characters of
// input name; elsewhere it holds any path the system can open, whole.
#ifdef _WIN32
constexpr unsigned output_name_input_part = 254;
#else
constexpr unsigned output_name_input_part = PATH_MAX - 1;
#endif
constexpr unsigned output_name_size = output_name_input_part + 4 + 1;

enum output_name_outcome {
    output_name_chosen,   // a person chose or confirmed the name
    output_name_proposed, // nobody could be asked: the proposal is used as it is
    output_name_cancelled,
    output_name_failed,
};

// Fills `name` (output_name_size characters) with the input name, cut to its
// first output_name_input_part characters, whose ".dds" suffix (any case) is
// replaced by ".tga" or, when it has none, with ".tga" appended.
void propose_output_name(const char *input_name, char *name);

// Proposes a name and runs the save dialog. On output_name_chosen and
// output_name_proposed `name` holds the path; a failed dialog has shown its
// message.
output_name_outcome choose_output_name(const char *input_name, char *name);

#endif
