// The thin layer over the platform: one implementation for Windows
// (src/driver/windows/: message box, common save dialog, wide file calls)
// and one for POSIX (src/driver/posix/: terminal, file descriptors).
// Nothing outside src/driver/ calls these directly. The message sink,
// platform_show_message, is declared with the messages (common/messages.h).
#ifndef DXTC2TGA_DRIVER_PLATFORM_H
#define DXTC2TGA_DRIVER_PLATFORM_H

#include "output_policy.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Whether `name` is an existing folder (through a symbolic link).
int platform_is_folder(const char *name);

// Where the help points for more: the manual page, or the README beside the exe.
extern const char platform_manual[];

// Shows text the user asked for (the help, the version): on standard output
// with no caption where there is a console or terminal, in an information
// box on the Windows desktop.
void platform_show_text(const char *text);

// Asks whether the existing file `name`, which is no TGA file, may be
// replaced by the TGA file. Returns 1 when a person agreed, 0 when they
// declined, and -1 when nobody can be asked (no terminal).
int platform_confirm_replace(const char *name);

// What the save dialog settled on.
enum dialog_outcome {
    dialog_no_name,       // cancelled or failed: see the error code
    dialog_confirmed,     // a person agreed to replace the file named in `name`
    dialog_chosen_free,   // a person chose a name no file had: nothing may be replaced
    dialog_taken_unasked, // nobody could be asked: the proposal stands as it is
    dialog_name_exists,   // nobody could be asked, and a file has the proposal's name
};

// Puts the full path of the file `name` into `path` (`size` bytes) and
// returns 1 where the save dialog opens in the folder of the path it is
// given, and otherwise in the folder it last used (Windows). Returns 0 where
// the input name is proposed as given, or when the full path does not fit.
int platform_full_path(const char *name, char *path, unsigned size);

// Offers `name` (a buffer of `size` characters holding the proposal) in the
// save dialog, opened in `folder` unless that is null. On dialog_no_name
// `*error` is 0 when the user cancelled and the dialog's error code when the
// dialog failed.
dialog_outcome platform_save_dialog(char *name, unsigned size, const char *folder,
                                    unsigned long *error);

// Opens the input file for binary reading; null with errno set on failure.
// A named pipe with no writer is opened without waiting for one.
std::FILE *platform_open_input(const char *name);

// Opens the stream the TGA file is written to. Where the file can be
// replaced as a whole this is a new temporary file in the output's folder,
// put in place under `name` by platform_finish_output only once it is whole;
// where that is impossible or wrong (an existing file that is not a regular
// file or has several hard links, a folder we may not write in) it is the
// file itself, written in place. `consent` says who agreed to replace an
// existing file (decide_output judges it); where a person must agree first,
// it returns null with `*reason` output_not_tga_reason (output_policy.h). The output is never
// `input` itself, under any name. On failure returns null and sets
// `*reason` to the text to show after "Error opening output file: ".
std::FILE *platform_open_output(const char *name, output_consent consent, std::FILE *input,
                                const char **reason);

// Begins the reason a finished file could not be put under its name, before
// the system's own text.
constexpr const char output_not_placed_reason[] = "the file could not be put in place: ";

// What became of the output when its stream was finished.
enum output_placement {
    output_placed,     // the whole file is in place under its name
    output_not_placed, // closing or renaming failed: see `*reason`; nothing changed
    output_name_taken, // a file of that name appeared and may not be replaced
};

// Closes the output stream, all of it written, and puts the file in place.
output_placement platform_finish_output(std::FILE *output, const char **reason);

// Closes the output stream after a failed write. A temporary file is removed,
// so nothing is left behind; a file written in place keeps what reached it.
void platform_discard_output(std::FILE *output);

// Tells the platform that `buffer` (`size` bytes from malloc) is about to be
// filled from start to end: where large pages exist, asking for them spares
// most of the page faults of the first writes. Only a hint: it may do
// nothing, and it never fails.
void platform_advise_large_buffer(void *buffer, std::size_t size);

// Streaming: the input is read a band of block rows at a time from its end
// (the TGA's first row is the image's last), and the output written a band
// at a time. These are in each platform's stream.cpp.

// Puts the input's size in bytes in `*size` and returns 1 when the input is
// a file on a disk, which can be read at any place and whose size is known;
// returns 0 for anything else (a pipe, a terminal, a device): it is read in
// order from where it stands.
int platform_input_size(std::FILE *input, std::uint64_t *size);

// Takes the input to `offset` bytes from its start, at any size the file
// system allows. Returns 0, or -1 with errno set.
int platform_seek_input(std::FILE *input, std::uint64_t offset);

// Tells the platform that the input's `length` bytes from `offset` are read
// next, so that reading them from the disk starts at once. Only a hint.
void platform_advise_input(std::FILE *input, std::uint64_t offset, std::uint64_t length);

// Tells the platform that `size` bytes are about to be written to the
// output, so that the file system can set aside their space at once rather
// than as each page arrives. The file's size and contents stay as they
// are; the hint may do nothing, and its failure is ignored.
void platform_reserve_output(std::FILE *output, std::uint64_t size);

// Called just before each write to the output, so that a write that stops
// short reports why. On Windows such a write (a full disk) sets no error,
// and the C runtime then reports whatever Windows error the thread last
// had, often none ("Invalid argument"); elsewhere it does nothing.
void platform_prepare_output_write();

#endif
