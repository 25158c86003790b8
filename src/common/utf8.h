// Cutting text to a buffer without splitting a character. Names and messages
// carry UTF-8 wherever the system runs the ANSI calls in UTF-8 (Windows with
// the application manifest, and POSIX systems as a rule).
#ifndef DXTC2TGA_COMMON_UTF8_H
#define DXTC2TGA_COMMON_UTF8_H

#include <cstddef>

// How many of the first `length` bytes of `text` to keep when the text is cut
// after them: `length` itself, less the bytes of a UTF-8 character the cut
// would split. Text that is not UTF-8 up to the cut is cut by bytes, at
// `length`, as it always was.
std::size_t utf8_cut_length(const char *text, std::size_t length);

// The bytes of the UTF-8 character `text` begins with (1 to 4), or 0 when
// the bytes there are no whole, well-formed character (a lone continuation
// byte, an overlong form, a surrogate, a character cut short by the end).
std::size_t utf8_character_length(const char *text);

// The UTF-16 units the first `length` bytes of UTF-8 `text` become: one per
// character, two for one beyond U+FFFF.
std::size_t utf16_units(const char *text, std::size_t length);

#endif
