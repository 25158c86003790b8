// The thin layer over the platform: one implementation for Windows
// (message box, common save dialog) and one for POSIX (terminal).
// Nothing outside src/driver/ calls these directly.
#ifndef DXTC2TGA_DRIVER_PLATFORM_H
#define DXTC2TGA_DRIVER_PLATFORM_H

// Shows an already formatted message of the given kind, captioned
// "DXTC Conversion", and returns once the user has seen it.
int platform_show_message(int kind, const char *text);

// Offers `name` (a buffer of `size` characters holding the proposal) in the
// save dialog. Returns 1 when the user confirmed a name, which is then in
// `name`. Returns 0 otherwise, with `*error` set to 0 when the user cancelled
// and to the dialog's error code when the dialog failed.
int platform_save_dialog(char *name, unsigned size, unsigned long *error);

#endif
