// The output name when the command line gives none: a proposal from the
// input name, confirmed or changed by the user in the save dialog.
#ifndef DXTC2TGA_DRIVER_OUTPUT_NAME_H
#define DXTC2TGA_DRIVER_OUTPUT_NAME_H

// The name buffer: 254 characters of input name + ".tga" + terminator.
constexpr unsigned output_name_size = 259;
constexpr unsigned output_name_input_part = 254;

enum output_name_outcome { output_name_chosen, output_name_cancelled, output_name_failed };

// Fills `name` (output_name_size characters) with the input name, cut to its
// first 254 characters (fewer where that would split a UTF-8 character),
// whose ".dds" suffix (any case) is replaced by ".tga" or, when it has none,
// with ".tga" appended.
void propose_output_name(const char *input_name, char *name);

// Proposes a name and runs the save dialog. On output_name_chosen `name`
// holds the chosen path; a failed dialog has shown its message.
output_name_outcome choose_output_name(const char *input_name, char *name);

#endif
