// The one way every stage reports to the user.
#ifndef DXTC2TGA_DRIVER_MESSAGES_H
#define DXTC2TGA_DRIVER_MESSAGES_H

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

// The reason shown after a read that fell short: "Unexpected end of file"
// when the stream reached its end (which sets no error number), otherwise
// the system's text for `error`, the error number the read left.
const char *read_failure_reason(std::FILE *stream, int error);

#if defined(__GNUC__)
#define DXTC_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define DXTC_PRINTF_FORMAT(f, a)
#endif

// Formats the text like printf and shows it; returns what the platform's
// message box returned, which no caller uses.
int show_message(int kind, const char *format, ...) DXTC_PRINTF_FORMAT(2, 3);

#endif
