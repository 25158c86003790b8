// The platform layer of the console companion, dxtc2tga.com: the Windows
// program for consoles, batch files and build scripts. It answers as the
// command line does on POSIX systems: every message on standard error, the
// text asked for on standard output, the output name asked for on the
// console when a person is there, never a window. Names are in the code page
// of the ANSI calls (UTF-8 by the manifest); a console is written and read
// in UTF-16 (WriteConsoleW, ReadConsoleW), since its own code page may lack
// the characters, and a file or a pipe gets UTF-8. The desktop exe has
// platform.cpp in this file's place; both share common.cpp, output_file.cpp
// and stream.cpp.
#include "common/messages.h"
#include "common/utf8.h"
#include "dds/dds_reader.h"
#include "driver/convert.h"
#include "driver/output_name.h"
#include "driver/platform.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

// The common dialog's error code for a name longer than its buffer
// (FNERR_BUFFERTOOSMALL), which the question on the console gives too.
constexpr unsigned long dialog_error_name_too_long = 0x3003;

// A file name with every byte escaped, and its terminator.
constexpr std::size_t shown_name_size =
    std::size_t{escaped_size_per_byte} * (output_name_size - 1) + 1;

// The most written at once, in bytes: a question naming a file, the longest
// (a message line is at most the caption and 1023 bytes after it). Longer
// text, a help naming a very long program path, goes in pieces.
constexpr std::size_t text_size = shown_name_size + message_buffer_size;

// Text on its way out: in UTF-16, then with a CR before each LF (at most one
// more unit for each), then for a file or pipe in UTF-8 (at most 3 bytes for
// each unit; a surrogate pair of two units becomes 4).
static wchar_t wide_text[text_size];
static wchar_t wide_lines[2 * text_size];
static char utf8_text[3 * 2 * text_size];

// The longest line read from the console, in UTF-16 units: any path the
// wide calls take. Longer lines are cut, and then fit no name buffer.
constexpr DWORD typed_units = 32768;

// The ASCII character Ctrl+Z gives: the end of input on a console.
constexpr wchar_t end_of_input_character = 0x1A;

// Whether `handle` is a console: only a console has a console mode.
static int is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// A person can be asked: both standard input and standard error are a console.
static int at_console() {
    return is_console(GetStdHandle(STD_INPUT_HANDLE)) && is_console(GetStdHandle(STD_ERROR_HANDLE));
}

// Writes the first `length` bytes of `text` (in the code page of the ANSI
// calls, `length` below text_size) to the standard handle `which`, its line
// ends as CR LF, in one call where the system takes it whole: on a console
// in UTF-16, elsewhere in UTF-8, so that messages of runs sharing a log do
// not interleave.
static void write_text(DWORD which, const char *text, std::size_t length) {
    // Bytes that are no character of the code page become U+FFFD.
    const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide_text,
                                          static_cast<int>(text_size));
    DWORD total = 0;
    for (int i = 0; i < units; ++i) {
        if (wide_text[i] == L'\n' && (i == 0 || wide_text[i - 1] != L'\r'))
            wide_lines[total++] = L'\r';
        wide_lines[total++] = wide_text[i];
    }

    const HANDLE handle = GetStdHandle(which);
    DWORD written = 0;
    if (is_console(handle)) {
        for (DWORD done = 0; done < total; done += written)
            if (!WriteConsoleW(handle, wide_lines + done, total - done, &written, nullptr) ||
                written == 0)
                return;
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide_lines, static_cast<int>(total),
                                          utf8_text, sizeof utf8_text, nullptr, nullptr);
    for (DWORD done = 0; done < static_cast<DWORD>(bytes); done += written)
        if (!WriteFile(handle, utf8_text + done, bytes - done, &written, nullptr) || written == 0)
            return;
}

// Every message goes to standard error, the completion message too, as one
// line that names the file an error is about (message_line): standard
// output is for the text a user asked for.
void platform_show_message(int kind, const char *file, const char *text) {
    std::size_t length = 0;
    const char *line = message_line(kind, file, text, &length);
    static_assert(sizeof message_caption + 2 + message_buffer_size + 1 < text_size,
                  "a message line is written at once");
    write_text(STD_ERROR_HANDLE, line, length);
}

const char platform_manual[] = "README.txt beside dxtc2tga.com";

void platform_show_text(const char *text) {
    std::size_t length = std::strlen(text);
    while (length > 0) {
        const std::size_t piece =
            length < text_size ? length : utf8_cut_length(text, text_size - 1);
        write_text(STD_OUTPUT_HANDLE, text, piece);
        text += piece;
        length -= piece;
    }
}

// Says `text`, a fixed sentence, on the console.
static void say(const char *text) {
    write_text(STD_ERROR_HANDLE, text, std::strlen(text));
}

// Asks on the console a question about the file `name`, which stands
// between `before` and `after` with its control bytes shown as \xHH.
static void ask(const char *before, const char *name, const char *after) {
    static char shown[shown_name_size];
    static char prompt[text_size];
    escape_control_bytes(name, shown, sizeof shown);
    const int length = std::snprintf(prompt, sizeof prompt, "%s%s%s", before, shown, after);
    write_text(STD_ERROR_HANDLE, prompt,
               length < static_cast<int>(sizeof prompt) ? length : sizeof prompt - 1);
}

enum answer_status {
    answer_read,
    answer_ended,    // Ctrl+Z, or the console could not be read
    answer_too_long, // longer than the buffer
};

// Reads one line typed on the console into `answer` (`size` bytes), without
// its line end, in the code page of the ANSI calls.
static answer_status read_answer(char *answer, unsigned size) {
    static wchar_t typed[typed_units];
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD length = 0;
    // The console hands over what was typed up to Enter, CR LF included; a
    // line longer than the buffer comes in several reads, its rest dropped.
    for (;;) {
        wchar_t chunk[256];
        DWORD got = 0;
        if (!ReadConsoleW(input, chunk, sizeof chunk / sizeof chunk[0], &got, nullptr) || got == 0)
            return answer_ended;
        for (DWORD i = 0; i < got && length < typed_units; ++i)
            typed[length++] = chunk[i];
        if (chunk[got - 1] == L'\n')
            break;
    }
    while (length > 0 && (typed[length - 1] == L'\n' || typed[length - 1] == L'\r'))
        --length;
    if (length > 0 && typed[0] == end_of_input_character)
        return answer_ended;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, typed, static_cast<int>(length), answer,
                                          static_cast<int>(size) - 1, nullptr, nullptr);
    if (length > 0 && bytes == 0)
        return answer_too_long;
    answer[bytes] = '\0';
    return answer_read;
}

static int is_yes(const char *answer) {
    return _stricmp(answer, "y") == 0 || _stricmp(answer, "yes") == 0;
}

// Asks whether the file `name` may be replaced, saying why after its name:
// 1 only for a yes.
static int agreed(const char *name, const char *why) {
    char answer[8];
    ask("", name, why);
    return read_answer(answer, sizeof answer) == answer_read && is_yes(answer);
}

int platform_confirm_replace(const char *name) {
    if (!at_console())
        return -1;
    return agreed(name, " is not a TGA file. Replace it? [y/N] ");
}

// Whether anything, a file or a folder, has that name.
static int name_taken(const char *name) {
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

// Whether `name` is a file on a disk that starts with the DDS signature (a
// pipe or a device is not read: that could wait).
static int is_dds_file(const char *name) {
    const HANDLE file =
        CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    unsigned char start[dds_signature_size];
    DWORD got = 0;
    const int dds = GetFileType(file) == FILE_TYPE_DISK &&
                    ReadFile(file, start, sizeof start, &got, nullptr) && got == sizeof start &&
                    is_dds_signature(start);
    CloseHandle(file);
    return dds;
}

// Asks for the name on the console until the user settles on one or input
// ends. Only a name whose file the user agreed to replace is
// dialog_confirmed; a name that was free is dialog_chosen_free, so that a
// file appearing under it meanwhile is not replaced unasked.
static dialog_outcome ask_on_console(char *name, unsigned size, unsigned long *error) {
    static char line[output_name_size];
    static char answer[output_name_size];
    for (;;) {
        ask("Save as [", name, "]: ");
        const answer_status status = read_answer(line, sizeof line);
        if (status == answer_too_long)
            *error = dialog_error_name_too_long;
        if (status != answer_read)
            return dialog_no_name;
        // An empty answer takes the proposal; a typed name without an
        // extension gets the default one, as the save dialog gives it.
        const char *typed = line[0] != '\0' ? line : name;
        const std::size_t typed_length = std::strlen(typed);
        // A folder is no file name: "textures\" must not become "textures\.tga".
        if (std::strchr(folder_separators, typed[typed_length - 1]) != nullptr ||
            platform_is_folder(typed)) {
            say("That is a folder; give a file name.\n");
            continue;
        }
        const char *own_name = typed + folder_part_length(typed);
        const char *extension = std::strchr(own_name, '.') == nullptr ? ".tga" : "";
        if (typed_length + std::strlen(extension) >= size || size > sizeof answer) {
            *error = dialog_error_name_too_long;
            return dialog_no_name;
        }
        std::snprintf(answer, sizeof answer, "%s%s", typed, extension);
        // A texture is never replaced, the input included: say so now rather
        // than after the question and the decoding.
        if (is_dds_file(answer)) {
            ask("", answer, " is a DDS file; give the name of a TGA file.\n");
            continue;
        }
        dialog_outcome outcome = dialog_chosen_free;
        if (name_taken(answer)) {
            if (!agreed(answer, " already exists. Replace it? [y/N] "))
                continue;
            outcome = dialog_confirmed;
        }
        std::memcpy(name, answer, std::strlen(answer) + 1);
        return outcome;
    }
}

// The question on the console offers the input name as given, relative or not.
int platform_full_path(const char *, char *, unsigned) {
    return 0;
}

dialog_outcome platform_save_dialog(char *name, unsigned size, const char *, unsigned long *error) {
    *error = 0;
    if (at_console())
        return ask_on_console(name, size, error);
    // Nobody can be asked: the proposal stands unless it would replace a file.
    return name_taken(name) ? dialog_name_exists : dialog_taken_unasked;
}

// A console program: the runtime's start-up parses the command line into
// the argument vector, in the code page of the ANSI calls, and calls main.
// Ctrl+C, Ctrl+Break and a closed console window end the process at once
// (the system's own handler): the temporary file being written is marked to
// be deleted when its handle closes, so the old file stays as it was and
// nothing is left beside it.
int main(int argc, char **argv) {
    return convert_main(argc, argv);
}
