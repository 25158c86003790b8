// The platform layer on POSIX systems: messages go to standard error, the
// save dialog is a question on the terminal, and the output file is put in
// place only once it is whole (output_file.cpp beside it).
#include "driver/platform.h"
#include "common/messages.h"
#include "dds/dds_reader.h"
#include "driver/convert.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Dialog error codes, as the Windows common dialogs report them.
constexpr unsigned long dialog_error_not_shown = 0xffff;     // CDERR_DIALOGFAILURE
constexpr unsigned long dialog_error_name_too_long = 0x3003; // FNERR_BUFFERTOOSMALL

// Writes `text` with its control bytes shown as \xHH, so that a name stays
// one line and cannot drive the terminal.
static void write_escaped(std::FILE *stream, const char *text) {
    char shown[escaped_size_per_byte * PATH_MAX + 1];
    escape_control_bytes(text, shown, sizeof shown);
    std::fputs(shown, stream);
}

// Every message goes to standard error, the completion message too: standard
// output may be the very file or pipe the TGA is written to. The line is
// handed over in one write, so that the messages of runs sharing a terminal
// or a log do not interleave.
void platform_show_message(int kind, const char *file, const char *text) {
    std::size_t length = 0;
    const char *line = message_line(kind, file, text, &length);
    std::size_t written = 0;
    while (written < length) {
        const ssize_t result = write(STDERR_FILENO, line + written, length - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        written += static_cast<std::size_t>(result);
    }
}

const char platform_manual[] = "man dxtc2tga";

void platform_show_text(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int platform_is_folder(const char *name) {
    struct stat status;
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
}

// Whether a person can be asked a question: one that sees it on standard
// error and answers on standard input, both a terminal. With either one
// redirected (`2>log`, `<list`), nobody would see it or answer it.
static int person_can_answer() {
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

// Whether anything, even a dangling symbolic link, has that name.
static int name_taken(const char *name) {
    struct stat status;
    return lstat(name, &status) == 0;
}

// Whether `name` is a regular file that starts with the DDS signature. Opened
// without waiting, as a named pipe would make it wait for a writer.
static int is_dds_file(const char *name) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat status;
    unsigned char start[dds_signature_size];
    const int dds = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    pread(fd, start, sizeof start, 0) == static_cast<ssize_t>(sizeof start) &&
                    is_dds_signature(start);
    close(fd);
    return dds;
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

// Asks "NAME already exists. Replace it? [y/N] "; 1 for a yes.
static int confirm_on_terminal(const char *name, char **line, std::size_t *capacity) {
    write_escaped(stderr, name);
    std::fputs(" already exists. Replace it? [y/N] ", stderr);
    return read_answer(line, capacity) && is_yes(*line);
}

int platform_confirm_replace(const char *name) {
    if (!person_can_answer())
        return -1;
    char *line = nullptr;
    std::size_t capacity = 0;
    const int agreed = confirm_on_terminal(name, &line, &capacity);
    std::free(line);
    return agreed;
}

// Asks for the name on the terminal until the user settles on one or input
// ends. Only a name whose file the user agreed to replace is dialog_confirmed;
// a name that was free is dialog_chosen_free, so that a file appearing under
// it meanwhile is not replaced unasked.
static dialog_outcome ask_on_terminal(char *name, unsigned size, unsigned long *error) {
    char *line = nullptr;
    std::size_t capacity = 0;
    char *answer = nullptr;
    dialog_outcome chosen = dialog_no_name;
    for (;;) {
        std::fputs("Save as [", stderr);
        write_escaped(stderr, name);
        std::fputs("]: ", stderr);
        if (!read_answer(&line, &capacity))
            break;
        // An empty answer takes the proposal; a typed name without an
        // extension gets the default one, as the Windows dialog does.
        const char *typed = line[0] != '\0' ? line : name;
        const std::size_t typed_length = std::strlen(typed);
        // A folder is no file name: "textures/" must not become "textures/.tga".
        if (typed[typed_length - 1] == '/' || platform_is_folder(typed)) {
            std::fputs("That is a folder; give a file name.\n", stderr);
            continue;
        }
        const char *base = std::strrchr(typed, '/');
        const char *extension = std::strchr(base != nullptr ? base : typed, '.');
        const char *default_extension = extension == nullptr ? ".tga" : "";
        std::size_t length = typed_length + std::strlen(default_extension);
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
        // A texture is never replaced, the input included: say so now rather
        // than after the question and the decoding.
        if (is_dds_file(answer)) {
            write_escaped(stderr, answer);
            std::fputs(" is a DDS file; give the name of a TGA file.\n", stderr);
            continue;
        }
        dialog_outcome outcome = dialog_chosen_free;
        if (name_taken(answer)) {
            if (!confirm_on_terminal(answer, &line, &capacity)) {
                if (std::feof(stdin))
                    break;
                continue;
            }
            outcome = dialog_confirmed;
        }
        std::memcpy(name, answer, length + 1);
        chosen = outcome;
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

dialog_outcome platform_save_dialog(char *name, unsigned size, const char *, unsigned long *error) {
    *error = 0;
    if (person_can_answer())
        return ask_on_terminal(name, size, error);
    // Nobody can be asked: the proposal stands unless it would replace a file.
    return name_taken(name) ? dialog_name_exists : dialog_taken_unasked;
}

std::FILE *platform_open_input(const char *name) {
    // Without O_NONBLOCK, opening a named pipe waits for a writer, perhaps
    // forever; the header reader then refuses the pipe, which cannot seek.
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    std::FILE *input = nullptr;
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        input = fdopen(fd, "rb");
    if (input == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return input;
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
    // A file-size limit or a closed pipe would otherwise kill the process
    // silently; ignored, they fail the write, and the stage says so.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    return convert_main(argc, argv);
}
