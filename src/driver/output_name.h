// The output name when the command line gives none: a proposal from the
// input name, confirmed or changed by the user in the save dialog.
#ifndef DXTC2TGA_DRIVER_OUTPUT_NAME_H
#define DXTC2TGA_DRIVER_OUTPUT_NAME_H

#include <climits>
#include <cstddef>

// The longest path the Windows ANSI calls open, in bytes with the
// terminator: MAX_PATH (260) UTF-16 units, each at most 3 bytes of UTF-8.
constexpr unsigned windows_path_size = 260 * 3;

// The longest name the save dialog takes and hands back whole, in UTF-16
// units: MAX_PATH less the terminator. A longer one it cuts at its start.
constexpr unsigned dialog_name_units = 259;

// The name buffer and the longest input name a proposal keeps. On Windows
// the buffer is the save dialog's and must hold the full path the dialog
// hands back, in UTF-8, or the dialog refuses the user's choice
// (FNERR_BUFFERTOOSMALL); a proposal cut from a name that is not a path
// keeps 254 characters + ".tga". Elsewhere the buffer holds any path the
// system can open, whole, + ".tga" + terminator.
#ifdef _WIN32
constexpr unsigned output_name_size = windows_path_size;
constexpr unsigned output_name_input_part = 254;
#else
constexpr unsigned output_name_input_part = PATH_MAX - 1;
constexpr unsigned output_name_size = output_name_input_part + 4 + 1;
#endif

// The characters that end a folder's part of a path; the first joins a
// folder and a name. On Windows a drive letter's colon ends it too ("C:a.dds").
#ifdef _WIN32
constexpr const char folder_separators[] = "\\/:";
#else
constexpr const char folder_separators[] = "/";
#endif

// The length of the folder part of `name`: up to and with its last
// separator, 0 where it has none.
std::size_t folder_part_length(const char *name);

enum output_name_outcome {
    output_name_chosen,   // a person chose the name and agreed to replace a file of that name
    output_name_new,      // a person chose a name that no file had: nothing may be replaced
    output_name_proposed, // nobody could be asked: the proposal is used as it is
    output_name_cancelled,
    output_name_failed,
};

// Fills `name` (output_name_size characters) with the input name, cut to its
// first output_name_input_part characters (fewer where that would split a
// UTF-8 character), whose ".dds" suffix (any case) is replaced by ".tga" or,
// when it has none, with ".tga" appended.
void propose_output_name(const char *input_name, char *name);

// The proposal for a save dialog that opens in the folder of the name it is
// given (Windows), made from `path`, the input's full path. `name` (`size`
// bytes) gets the whole path under the rule above when that fits, and 0 is
// returned; the whole path also must not exceed dialog_name_units
// characters. Otherwise `name` gets the proposal for the file's own name, its
// end cut at a character boundary only when even that does not fit, and
// `folder` (as long as `path`) the path's folder with its closing separator,
// for the dialog to open in; 1 is returned, or 0 when the path names no folder
// or one longer than dialog_name_units characters.
int propose_dialog_name(const char *path, char *name, unsigned size, char *folder);

// The output name for an output that is a folder, as cp makes it: the
// folder, a separator unless it ends in one, and the proposal for the
// input's own name (without its folders) into `name` (output_name_size
// bytes). Returns 0 when that does not fit, and `name` is then no name.
int output_in_folder(const char *folder, const char *input_name, char *name);

// Shown instead of the save dialog or the question when the proposal would
// have to be cut inside the input's folders.
constexpr const char proposal_too_long[] =
    "The texture's path is too long to propose an output name; give one as a second argument";

// Proposes a name and runs the save dialog. On output_name_chosen and
// output_name_proposed `name` holds the path; a failed dialog has shown its
// message.
output_name_outcome choose_output_name(const char *input_name, char *name);

#endif
