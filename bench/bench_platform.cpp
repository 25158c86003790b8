// The platform layer for the benchmark programs: messages go to standard error.
#include "common/messages.h"
#include "driver/platform.h"

#include <cstdio>

void platform_show_message(int, const char *, const char *text) {
    std::fprintf(stderr, "%s\n", text);
}

void platform_advise_large_buffer(void *, std::size_t) {}
