// The one way every stage reports to the user. The stages below the driver
// (the DDS reader, the decoder, the TGA writer) report through this; how a
// message reaches the user is the platform's, supplied by the driver
// (platform_show_message, defined in src/driver/<platform>/platform.cpp).
#ifndef DXTC2TGA_COMMON_MESSAGES_H
#define DXTC2TGA_COMMON_MESSAGES_H

#include <cstddef>
#include <cstdio>

// Message kinds. The value is the style handed to the Windows message box,
// so it selects the icon: MB_OK | MB_ICONERROR and MB_OK | MB_ICONINFORMATION.
constexpr int message_error = 16;
constexpr int message_information = 64;

// The caption of every message box.
constexpr const char message_caption[] = "DXTC Conversion";

// Longest text shown, terminator included; longer text is cut to 1023 characters.
constexpr int message_buffer_size = 1024;

// Names the end of the file; no system text does.
constexpr char end_of_file_reason[] = "Unexpected end of file";

// Each control byte is shown as the four characters \xHH.
constexpr int escaped_size_per_byte = 4;

// The longest file name a message names whole, terminator included: any
// path Linux opens (PATH_MAX, 4096 with its terminator). A longer one is cut.
constexpr int message_file_size = 4096;

// The reason shown after a read that fell short: "Unexpected end of file"
// when the stream reached its end (which sets no error number), otherwise
// the system's text for `error`, the error number the read left.
const char *read_failure_reason(std::FILE *stream, int error);

#if defined(__GNUC__)
#define DXTC_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define DXTC_PRINTF_FORMAT(f, a)
#endif

// Copies `text` into `shown` (`size` bytes, terminated) with every control
// byte written as \xHH, so that a message or a name stays one line and
// cannot drive a terminal: C0 (0x00-0x1F), DEL (0x7F), and C1, both the
// characters U+0080-U+009F in UTF-8 (each of their two bytes escaped) and
// the bytes 0x80-0x9F where they are no part of a UTF-8 character; and the
// bidirectional controls that reorder a line, U+202A-U+202E and
// U+2066-U+2069 (each of their three bytes escaped). Stops before a
// character or escape that would not fit. Returns the length.
std::size_t escape_control_bytes(const char *text, char *shown, std::size_t size);

// The line a terminal or console shows for a message: the caption, then
// for an error "error: FILE: " (where a file is named) before the text, all
// that follows the caption cut to 1023 characters at a whole character or
// escape, and a line end. `file` and `text` are escaped already. The line
// is kept in a static buffer, not allocated, so that the message that says
// memory ran out is still shown; its length goes to `*length`.
const char *message_line(int kind, const char *file, const char *text, std::size_t *length);

// Names the file the following error messages are about (the input while it
// is read, the output while it is written), or none with null. The name is
// kept, not copied. Only the POSIX build shows it, before the text.
void set_message_file(const char *name);

// Formats the text like printf and shows it.
void show_message(int kind, const char *format, ...) DXTC_PRINTF_FORMAT(2, 3);

// Shows an already formatted message of the given kind, captioned
// "DXTC Conversion", and returns once the user has seen it. Both `text` and
// `file`, the file the message is about (null: none; an empty name is
// shown as ''), have their control bytes escaped. A terminal shows the file
// of an error before the text, so that a loop over many files tells which
// one failed; the message box shows the text alone. Each platform's driver
// defines it.
void platform_show_message(int kind, const char *file, const char *text);

#endif
