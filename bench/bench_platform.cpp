// The platform layer for the benchmark programs: messages go to standard error.
#include "driver/platform.h"

#include <cstdio>

int platform_show_message(int, const char *, const char *text) {
    std::fprintf(stderr, "%s\n", text);
    return 1;
}

void platform_advise_large_buffer(void *, std::size_t) {}
