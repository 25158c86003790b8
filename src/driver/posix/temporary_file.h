// Temporary files that leave nothing behind, in the output's folder: an
// unnamed file (O_TMPFILE), which the system removes however the process
// ends, or where there is none a private named file, removed on every
// failure and on every signal that would end the process. The caller's
// signal mask and ignored signals are kept.
#ifndef DXTC2TGA_DRIVER_POSIX_TEMPORARY_FILE_H
#define DXTC2TGA_DRIVER_POSIX_TEMPORARY_FILE_H

#include <csignal>
#include <cstddef>

// A temporary file's name: ".dxtc2tga-" and 16 random hex digits ".tmp".
constexpr std::size_t temporary_name_size = 32;
// Room for "/proc/self/fd/" and a descriptor's number.
constexpr std::size_t proc_path_size = 64;

// The name /proc gives the object open as `fd` (`path` has proc_path_size
// bytes), which opens it again.
const char *proc_path(int fd, char *path);

// Blocks every signal that ends the process, keeping the caller's mask in
// `saved` to be set again: no stray name is left by a signal between making
// a name and recording or renaming it.
void hold_signals(sigset_t *saved);

// A new temporary file in `folder`, unnamed where it can be, else named
// (`*named` 1, see named_temporary); -1 with errno set when none can be made.
// The unnamed file is made as fopen makes a file (0666 less the umask, a
// default ACL applied); the named one is private (0600).
int create_temporary(int folder, int *named);

// Links the unnamed file `fd` into `folder` under `name`; 0, or -1 with errno.
int link_unnamed(int folder, int fd, const char *name);

// Links the unnamed file `fd` into `folder` under a fresh name, put in
// `name` (temporary_name_size bytes); 0, or -1 with errno set.
int link_at_fresh_name(int folder, int fd, char *name);

// The named temporary file's name in its folder, empty when there is none.
const char *named_temporary();

// The named temporary file was renamed into place: nothing is to be removed.
void keep_named_temporary();

// Removes the named temporary file, if any, and restores the signals.
void forget_named_temporary();

#endif
