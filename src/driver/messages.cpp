#include "messages.h"

#include "platform.h"
#include "utf8.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

const char *read_failure_reason(std::FILE *stream, int error) {
    return std::feof(stream) ? end_of_file_reason : std::strerror(error);
}

int show_message(int kind, const char *format, ...) {
    char text[message_buffer_size];
    va_list arguments;
    va_start(arguments, format);
    // vsnprintf cuts the text to fit and always terminates it, but by bytes:
    // a cut text ends before a character the cut would split.
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length < 0)
        text[0] = '\0';
    else if (length >= message_buffer_size)
        text[utf8_cut_length(text, message_buffer_size - 1)] = '\0';
    va_end(arguments);
    return platform_show_message(kind, text);
}
