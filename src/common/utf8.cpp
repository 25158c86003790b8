#include "utf8.h"

// Bytes 10xxxxxx continue a character; only their low six bits are its own.
constexpr unsigned char continuation_low = 0x80;
constexpr unsigned char continuation_high = 0xBF;

// The bytes of the character that `lead` begins, and in `*low` and `*high`
// the range its second byte must lie in so that the character is neither
// written in more bytes than it needs, nor a UTF-16 surrogate, nor beyond
// U+10FFFF. 0: `lead` begins no character (a continuation byte, 0xC0, 0xC1,
// 0xF5 and above).
static std::size_t sequence_of(unsigned char lead, unsigned char *low, unsigned char *high) {
    *low = continuation_low;
    *high = continuation_high;
    if (lead < 0x80)
        return 1; // ASCII
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2; // U+0080 to U+07FF
    if (lead == 0xE0)
        *low = 0xA0; // from U+0800
    else if (lead == 0xED)
        *high = 0x9F; // below the surrogates U+D800 to U+DFFF
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead == 0xF0)
        *low = 0x90; // from U+10000
    else if (lead == 0xF4)
        *high = 0x8F; // up to U+10FFFF
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

std::size_t utf8_cut_length(const char *text, std::size_t length) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    std::size_t start = 0; // of the character being read
    while (start < length) {
        unsigned char second_low = 0, second_high = 0;
        const std::size_t size = sequence_of(bytes[start], &second_low, &second_high);
        if (size == 0)
            return length;
        for (std::size_t i = 1; i < size; ++i) {
            if (start + i == length)
                return start; // the cut falls inside this character
            const unsigned char low = i == 1 ? second_low : continuation_low;
            const unsigned char high = i == 1 ? second_high : continuation_high;
            if (bytes[start + i] < low || bytes[start + i] > high)
                return length;
        }
        start += size;
    }
    return length;
}

std::size_t utf8_character_length(const char *text) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    unsigned char second_low = 0, second_high = 0;
    const std::size_t size = sequence_of(bytes[0], &second_low, &second_high);
    for (std::size_t i = 1; i < size; ++i) {
        const unsigned char low = i == 1 ? second_low : continuation_low;
        const unsigned char high = i == 1 ? second_high : continuation_high;
        if (bytes[i] < low || bytes[i] > high) // the terminator fails here too
            return 0;
    }
    return size;
}

// 11110xxx begins a character beyond U+FFFF, which UTF-16 writes as two units.
constexpr unsigned char four_byte_lead = 0xF0;

std::size_t utf16_units(const char *text, std::size_t length) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < continuation_low || byte > continuation_high)
            units += byte >= four_byte_lead ? 2 : 1;
    }
    return units;
}
