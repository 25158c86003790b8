// The platform layer on POSIX systems: messages go to the terminal's streams
// and the save dialog is a question on the terminal.
#include "convert.h"
#include "messages.h"
#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Dialog error codes, as the Windows common dialogs report them.
constexpr unsigned long dialog_error_not_shown = 0xffff;     // CDERR_DIALOGFAILURE
constexpr unsigned long dialog_error_name_too_long = 0x3003; // FNERR_BUFFERTOOSMALL

int platform_show_message(int kind, const char *text) {
    if (kind == message_information) {
        std::fprintf(stdout, "%s: %s\n", message_caption, text);
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "%s: error: %s\n", message_caption, text);
    }
    return 1; // the OK button
}

static int file_exists(const char *name) {
    struct stat status;
    return stat(name, &status) == 0;
}

// Reads one line from standard input without its line end into `*line`
// (grown as needed). Returns 0 at the end of input.
static int read_answer(char **line, std::size_t *capacity) {
    ssize_t length = getline(line, capacity, stdin);
    if (length < 0)
        return 0;
    while (length > 0 && ((*line)[length - 1] == '\n' || (*line)[length - 1] == '\r'))
        (*line)[--length] = '\0';
    return 1;
}

static int is_yes(const char *answer) {
    return strcasecmp(answer, "y") == 0 || strcasecmp(answer, "yes") == 0;
}

// Asks for the name on the terminal until the user settles on one (1) or input ends (0).
static int ask_on_terminal(char *name, unsigned size, unsigned long *error) {
    char *line = nullptr;
    std::size_t capacity = 0;
    char *answer = nullptr;
    int chosen = 0;
    for (;;) {
        std::fprintf(stderr, "Save as [%s]: ", name);
        if (!read_answer(&line, &capacity))
            break;
        // An empty answer takes the proposal; a typed name without an
        // extension gets the default one, as the Windows dialog does.
        const char *typed = line[0] != '\0' ? line : name;
        const char *base = std::strrchr(typed, '/');
        const char *extension = std::strchr(base != nullptr ? base : typed, '.');
        const char *default_extension = extension == nullptr ? ".tga" : "";
        std::size_t length = std::strlen(typed) + std::strlen(default_extension);
        std::free(answer);
        answer = static_cast<char *>(std::malloc(length + 1));
        if (answer == nullptr) {
            *error = dialog_error_not_shown;
            break;
        }
        std::snprintf(answer, length + 1, "%s%s", typed, default_extension);
        if (length >= size) {
            *error = dialog_error_name_too_long;
            break;
        }
        if (file_exists(answer)) {
            std::fprintf(stderr, "%s already exists. Replace it? [y/N] ", answer);
            if (!read_answer(&line, &capacity))
                break;
            if (!is_yes(line))
                continue;
        }
        std::memcpy(name, answer, length + 1);
        chosen = 1;
        break;
    }
    std::free(answer);
    std::free(line);
    return chosen;
}

// The terminal's question offers the input name as given, relative or not.
int platform_full_path(const char *, char *, unsigned) {
    return 0;
}

int platform_save_dialog(char *name, unsigned size, const char *, unsigned long *error) {
    *error = 0;
    if (isatty(STDIN_FILENO))
        return ask_on_terminal(name, size, error);
    // Nobody can be asked: the proposal stands unless it would overwrite a file.
    if (!file_exists(name))
        return 1;
    *error = dialog_error_not_shown;
    return 0;
}

// Large pages for the whole pages inside the buffer. Decoding then faults in
// 2 MiB at a time instead of 4 KiB: an 8192 x 8192 DXT1 conversion took
// 0.20 s instead of 0.27. Where the kernel has no such advice, or large
// pages are not to be had, the buffer is used as it is.
void platform_advise_large_buffer(void *buffer, std::size_t size) {
#ifdef MADV_HUGEPAGE
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t offset = reinterpret_cast<std::uintptr_t>(buffer) % page;
    const std::size_t skip = offset == 0 ? 0 : page - offset; // to the first whole page
    if (size > skip + page)
        madvise(static_cast<char *>(buffer) + skip, (size - skip) / page * page, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)size;
#endif
}

int main(int argc, char **argv) {
    return convert_main(argc, argv);
}
