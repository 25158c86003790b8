// The platform layer for the benchmark programs: messages go to standard
// error, and there is never anybody to ask for a name.
#include "driver/platform.h"

#include <cstdio>

int platform_show_message(int, const char *text) {
    std::fprintf(stderr, "%s\n", text);
    return 1;
}

void platform_advise_large_buffer(void *, std::size_t) {}

int platform_full_path(const char *, char *, unsigned) {
    return 0;
}

int platform_save_dialog(char *, unsigned, const char *, unsigned long *error) {
    *error = 0;
    return 0;
}
