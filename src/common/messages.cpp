#include "messages.h"

#include "utf8.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// The control bytes of ASCII (C0): below the space, and DEL.
constexpr unsigned char c0_end = 0x20;
constexpr unsigned char delete_byte = 0x7F;
// The C1 control bytes 0x80-0x9F, and the lead byte of U+0080-U+00BF in
// UTF-8, whose second byte is then 0x80-0x9F for the C1 characters.
constexpr unsigned char c1_first = 0x80;
constexpr unsigned char c1_last = 0x9F;
constexpr unsigned char c1_utf8_lead = 0xC2;
// The bidirectional controls that reorder the rest of a line, in UTF-8:
// embeddings and overrides U+202A-U+202E (E2 80 AA-AE) and isolates
// U+2066-U+2069 (E2 81 A6-A9). A name holding one could show as another.
constexpr unsigned char bidi_lead = 0xE2;
constexpr unsigned char bidi_embedding_second = 0x80;
constexpr unsigned char bidi_embedding_first = 0xAA;
constexpr unsigned char bidi_embedding_last = 0xAE;
constexpr unsigned char bidi_isolate_second = 0x81;
constexpr unsigned char bidi_isolate_first = 0xA6;
constexpr unsigned char bidi_isolate_last = 0xA9;

// How an empty file name is shown, so that it can be seen.
constexpr const char empty_name_shown[] = "''";

// The file the messages are about, or null.
static const char *message_file;

const char *read_failure_reason(std::FILE *stream, int error) {
    return std::feof(stream) ? end_of_file_reason : std::strerror(error);
}

void set_message_file(const char *name) {
    message_file = name;
}

// Whether the three bytes at `c` are one of the bidirectional controls above.
static int is_bidi_control(const unsigned char *c) {
    return c[0] == bidi_lead && ((c[1] == bidi_embedding_second && c[2] >= bidi_embedding_first &&
                                  c[2] <= bidi_embedding_last) ||
                                 (c[1] == bidi_isolate_second && c[2] >= bidi_isolate_first &&
                                  c[2] <= bidi_isolate_last));
}

// How many bytes at `text` are one control character to be escaped (1 to
// 3), or 0 when it is none.
static std::size_t control_length(const char *text, std::size_t character) {
    const unsigned char *c = reinterpret_cast<const unsigned char *>(text);
    if (c[0] < c0_end || c[0] == delete_byte)
        return 1;
    if (character == 2 && c[0] == c1_utf8_lead && c[1] <= c1_last)
        return 2;
    if (character == 3 && is_bidi_control(c))
        return 3;
    if (character == 0 && c[0] >= c1_first && c[0] <= c1_last)
        return 1;
    return 0;
}

std::size_t escape_control_bytes(const char *text, char *shown, std::size_t size) {
    std::size_t length = 0;
    while (*text != '\0') {
        const std::size_t character = utf8_character_length(text);
        const std::size_t control = control_length(text, character);
        // Bytes that are not UTF-8 are copied one by one, as they are.
        const std::size_t bytes = control != 0 ? control : character != 0 ? character : 1;
        const std::size_t needed = control != 0 ? bytes * escaped_size_per_byte : bytes;
        if (length + needed >= size)
            break;
        for (std::size_t i = 0; i < bytes; ++i) {
            if (control != 0)
                std::snprintf(shown + length + i * escaped_size_per_byte, escaped_size_per_byte + 1,
                              "\\x%02X", static_cast<unsigned char>(text[i]));
            else
                shown[length + i] = text[i];
        }
        length += needed;
        text += bytes;
    }
    shown[length] = '\0';
    return length;
}

// Whether `shown` begins with an escape \xHH as escape_control_bytes writes it.
static int is_escape(const char *shown) {
    return shown[0] == '\\' && shown[1] == 'x' &&
           std::isxdigit(static_cast<unsigned char>(shown[2])) &&
           std::isxdigit(static_cast<unsigned char>(shown[3]));
}

// The length of the longest start of `shown`, a text escaped as above, that
// is at most `limit` bytes and ends neither inside a UTF-8 character nor
// inside an escape.
static std::size_t shown_cut_length(const char *shown, std::size_t limit) {
    std::size_t length = 0;
    while (shown[length] != '\0') {
        const std::size_t character = utf8_character_length(shown + length);
        const std::size_t bytes = is_escape(shown + length) ? escaped_size_per_byte
                                  : character != 0          ? character
                                                            : 1;
        if (length + bytes > limit)
            break;
        length += bytes;
    }
    return length;
}

const char *message_line(int kind, const char *file, const char *text, std::size_t *length) {
    static const char error_label[] = "error: ";
    constexpr std::size_t file_shown = std::size_t{escaped_size_per_byte} * (message_file_size - 1);
    constexpr std::size_t text_shown =
        std::size_t{escaped_size_per_byte} * (message_buffer_size - 1);
    static char body[sizeof error_label + file_shown + 2 + text_shown + 1];
    const int error = kind != message_information;
    std::snprintf(body, sizeof body, "%s%s%s%s", error ? error_label : "",
                  error && file ? file : "", error && file ? ": " : "", text);
    body[shown_cut_length(body, message_buffer_size - 1)] = '\0';

    static char line[sizeof message_caption + 2 + message_buffer_size + 1];
    const int written = std::snprintf(line, sizeof line, "%s: %s\n", message_caption, body);
    *length = written < static_cast<int>(sizeof line) ? static_cast<std::size_t>(written)
                                                      : sizeof line - 1;
    return line;
}

void show_message(int kind, const char *format, ...) {
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

    // Escaped after the cut, so the cut stays at 1023 characters of text.
    static char shown[escaped_size_per_byte * (message_buffer_size - 1) + 1];
    static char file_shown[escaped_size_per_byte * (message_file_size - 1) + 1];
    escape_control_bytes(text, shown, sizeof shown);
    const char *file = nullptr;
    if (message_file != nullptr) {
        char file_cut[message_file_size];
        std::size_t file_length = std::strlen(message_file);
        if (file_length >= sizeof file_cut)
            file_length = utf8_cut_length(message_file, sizeof file_cut - 1);
        std::memcpy(file_cut, message_file, file_length);
        file_cut[file_length] = '\0';
        escape_control_bytes(file_cut, file_shown, sizeof file_shown);
        file = file_length > 0 ? file_shown : empty_name_shown;
    }
    platform_show_message(kind, file, shown);
}
