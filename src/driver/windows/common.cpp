// What both Windows executables do alike, the desktop one (platform.cpp)
// and the console companion (console.cpp): wildcard arguments, the input
// file, folders and memory. The output is written by output_file.cpp.
#include "driver/platform.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>

// The runtime expands wildcard patterns in the arguments before main sees
// them (a pattern that matches nothing stays as typed).
extern "C" int _dowildcard;
int _dowildcard = -1;

int platform_is_folder(const char *name) {
    const DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::FILE *platform_open_input(const char *name) {
    return std::fopen(name, "rb");
}

// Large pages on Windows need the lock-pages-in-memory privilege, which a
// utility run by a user does not hold: the buffer is used as it is.
void platform_advise_large_buffer(void *, std::size_t) {}
