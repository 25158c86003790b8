// The thin layer over the platform: one implementation for Windows
// (message box, common save dialog) and one for POSIX (terminal).
// Nothing outside src/driver/ calls these directly.
#ifndef DXTC2TGA_DRIVER_PLATFORM_H
#define DXTC2TGA_DRIVER_PLATFORM_H

#include <cstddef>

// Shows an already formatted message of the given kind, captioned
// "DXTC Conversion", and returns once the user has seen it.
int platform_show_message(int kind, const char *text);

// Puts the full path of the file `name` into `path` (`size` bytes) and
// returns 1 where the save dialog opens in the folder of the path it is
// given, and otherwise in the folder it last used (Windows). Returns 0 where
// the input name is proposed as given, or when the full path does not fit.
int platform_full_path(const char *name, char *path, unsigned size);

// Offers `name` (a buffer of `size` characters holding the proposal) in the
// save dialog, opened in `folder` unless that is null. Returns 1 when the
// user confirmed a name, which is then in `name`. Returns 0 otherwise, with
// `*error` set to 0 when the user cancelled and to the dialog's error code
// when the dialog failed.
int platform_save_dialog(char *name, unsigned size, const char *folder, unsigned long *error);

// Tells the platform that `buffer` (`size` bytes from malloc) is about to be
// filled from start to end: where large pages exist, asking for them spares
// most of the page faults of the first writes. Only a hint: it may do
// nothing, and it never fails.
void platform_advise_large_buffer(void *buffer, std::size_t size);

#endif
