// The platform layer on POSIX systems: messages go to standard error, the
// save dialog is a question on the terminal, and the output file is put in
// place only once it is whole.
#include "convert.h"
#include "messages.h"
#include "platform.h"

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
int platform_show_message(int kind, const char *file, const char *text) {
    static const char error_label[] = "error: ";
    const int error = kind != message_information;
    const std::size_t size = sizeof message_caption + sizeof error_label + std::strlen(text) +
                             (file != nullptr ? std::strlen(file) + 2 : 0) + 2;
    char *line = static_cast<char *>(std::malloc(size));
    if (line == nullptr)
        return 1; // a message that cannot be shown is not reported
    const int length =
        std::snprintf(line, size, "%s: %s%s%s%s\n", message_caption, error ? error_label : "",
                      error && file ? file : "", error && file ? ": " : "", text);
    std::size_t written = 0;
    while (length > 0 && written < static_cast<std::size_t>(length)) {
        const ssize_t result = write(STDERR_FILENO, line + written, length - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        written += static_cast<std::size_t>(result);
    }
    std::free(line);
    return 1; // the OK button
}

const char platform_manual[] = "man dxtc2tga";

int platform_is_folder(const char *name) {
    struct stat status;
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
}

// Whether anything, even a dangling symbolic link, has that name.
static int name_taken(const char *name) {
    struct stat status;
    return lstat(name, &status) == 0;
}

static int is_folder(const char *name) {
    struct stat status;
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
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
        if (typed[typed_length - 1] == '/' || is_folder(typed)) {
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
        if (name_taken(answer)) {
            write_escaped(stderr, answer);
            std::fputs(" already exists. Replace it? [y/N] ", stderr);
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

dialog_outcome platform_save_dialog(char *name, unsigned size, const char *, unsigned long *error) {
    *error = 0;
    if (isatty(STDIN_FILENO))
        return ask_on_terminal(name, size, error) ? dialog_confirmed : dialog_no_name;
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

// Writing the output file. A file that can be replaced whole is written under
// another name in its folder and put in place only once it is complete:
// preferably an unnamed file (O_TMPFILE) that is linked in at the end, which
// the system removes by itself however the process ends; where the file
// system has no unnamed files, a named temporary file, removed on every
// failure and on SIGINT, SIGTERM and SIGHUP. One output per run, so the
// state is kept here.
enum output_route { route_in_place, route_unnamed, route_named };

static output_route route;
static int output_may_replace;
static char output_path[PATH_MAX];    // where the file goes: the name, or a link's target
static char output_folder[PATH_MAX];  // its folder, where the temporary file is made
static char temporary_path[PATH_MAX]; // the named temporary file, while it exists
static unsigned temporary_count;      // for the next temporary name

static const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};
static struct sigaction previous_actions[3];

// Removes the named temporary file, then dies by the same signal, as shells
// expect of a program that was interrupted.
static void remove_temporary_and_die(int signal_number) {
    unlink(temporary_path);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static void block_cleanup_signals(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : cleanup_signals)
        sigaddset(&set, s);
    sigprocmask(how, &set, nullptr);
}

// A new name in the output's folder, hidden and unlikely to be in use.
static int next_temporary_path(char *path) {
    const int length = std::snprintf(path, PATH_MAX, "%s/.dxtc2tga-%ld-%u.tmp", output_folder,
                                     static_cast<long>(getpid()), temporary_count++);
    if (length < 0 || length >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}

// Creates the named temporary file; with fopen's permissions for a new file
// (0666 less the umask), as the file would have had when written in place.
static int create_named_temporary() {
    struct sigaction action = {};
    action.sa_handler = remove_temporary_and_die;
    sigemptyset(&action.sa_mask);
    // The name is recorded before any signal can see the file.
    block_cleanup_signals(SIG_BLOCK);
    for (int i = 0; i < 3; ++i)
        sigaction(cleanup_signals[i], &action, &previous_actions[i]);
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        if (!next_temporary_path(temporary_path))
            break;
        fd = open(temporary_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        temporary_path[0] = '\0';
    const int error = errno;
    block_cleanup_signals(SIG_UNBLOCK);
    errno = error;
    return fd;
}

// Removes the named temporary file (if any) and restores the signals.
static void forget_named_temporary() {
    block_cleanup_signals(SIG_BLOCK);
    if (temporary_path[0] != '\0')
        unlink(temporary_path);
    temporary_path[0] = '\0';
    for (int i = 0; i < 3; ++i)
        sigaction(cleanup_signals[i], &previous_actions[i], nullptr);
    block_cleanup_signals(SIG_UNBLOCK);
}

static int same_file(const struct stat *a, const struct stat *b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Copies `path` into output_path and its folder into output_folder.
static int set_output_path(const char *path) {
    const std::size_t length = std::strlen(path);
    if (length >= sizeof output_path) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(output_path, path, length + 1);
    std::memcpy(output_folder, path, length + 1);
    char *slash = std::strrchr(output_folder, '/');
    if (slash == nullptr)
        std::memcpy(output_folder, ".", sizeof ".");
    else
        slash[slash == output_folder ? 1 : 0] = '\0'; // "/name" lies in "/"
    return 1;
}

static int name_too_long() {
    const char *slash = std::strrchr(output_path, '/');
    const char *base = slash != nullptr ? slash + 1 : output_path;
    const long longest = pathconf(output_folder, _PC_NAME_MAX);
    return longest > 0 && std::strlen(base) > static_cast<std::size_t>(longest);
}

// A temporary file for the output in its folder; -1 with errno set when
// none can be made there.
static int open_temporary(const struct stat *replaced) {
    int fd = -1;
#if defined(O_TMPFILE)
    // The unnamed file is linked in through /proc; without /proc it cannot be.
    if (access("/proc/self/fd", X_OK) == 0) {
        fd = open(output_folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            route = route_unnamed;
        else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return -1; // the folder itself refuses: a named file would fare no better
    }
#endif
    if (fd < 0) {
        fd = create_named_temporary();
        if (fd < 0)
            return -1;
        route = route_named;
    }
    // A replaced file's permissions, and its owner where we may give it.
    if (replaced != nullptr) {
        fchmod(fd, replaced->st_mode & 07777);
        if (replaced->st_uid != geteuid() || replaced->st_gid != getegid())
            (void)!fchown(fd, replaced->st_uid, replaced->st_gid);
    }
    return fd;
}

std::FILE *platform_open_output(const char *name, int may_replace, std::FILE *input,
                                const char **reason) {
    route = route_in_place;
    output_may_replace = may_replace;
    struct stat link_status, status, input_status;
    const int named = lstat(name, &link_status) == 0;
    const int exists = stat(name, &status) == 0; // through a symbolic link
    if (named && !may_replace) {
        *reason = std::strerror(EEXIST);
        return nullptr;
    }
    if (exists && fstat(fileno(input), &input_status) == 0 && same_file(&status, &input_status)) {
        *reason = output_is_input_reason;
        return nullptr;
    }

    // A symbolic link stays a link: the file it points to is the one replaced.
    char target[PATH_MAX];
    const int is_link = named && S_ISLNK(link_status.st_mode);
    const char *path = is_link && exists && realpath(name, target) != nullptr ? target : name;

    // Replacing would be wrong for a device, a pipe, a file with other names
    // (they would keep the old contents) and a dangling link (whose target
    // the file would not become): those are written in place.
    int in_place =
        (exists && (!S_ISREG(status.st_mode) || status.st_nlink > 1)) || (is_link && !exists);
    int fd = -1;
    if (!in_place) {
        if (!set_output_path(path)) {
            *reason = std::strerror(errno);
            return nullptr;
        }
        // The name is given to the file only when it is put in place: a name
        // too long for its folder is refused now, as opening it would be.
        if (!exists && name_too_long()) {
            *reason = std::strerror(ENAMETOOLONG);
            return nullptr;
        }
        fd = open_temporary(exists ? &status : nullptr);
        // A folder we may not write in, holding a file we may: in place.
        if (fd < 0 && exists && (errno == EACCES || errno == EPERM) && access(name, W_OK) == 0)
            in_place = 1;
        else if (fd < 0) {
            *reason = std::strerror(errno);
            return nullptr;
        }
    }
    if (in_place) {
        route = route_in_place;
        std::FILE *output = std::fopen(name, "wb");
        if (output == nullptr)
            *reason = std::strerror(errno);
        return output;
    }

    std::FILE *output = fdopen(fd, "wb");
    if (output == nullptr) {
        *reason = std::strerror(errno);
        close(fd);
        if (route == route_named)
            forget_named_temporary();
    }
    return output;
}

// Puts the unnamed file in place: linked under a temporary name and renamed
// over the old file, or, when nothing may be replaced, linked under the
// output name itself, which fails if that name is taken.
static int link_unnamed(std::FILE *output) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fileno(output));
    if (!output_may_replace)
        return linkat(AT_FDCWD, proc_path, AT_FDCWD, output_path, AT_SYMLINK_FOLLOW) == 0;
    char link_path[PATH_MAX];
    int linked = 0;
    for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
        if (!next_temporary_path(link_path))
            return 0;
        linked = linkat(AT_FDCWD, proc_path, AT_FDCWD, link_path, AT_SYMLINK_FOLLOW) == 0;
        if (!linked && errno != EEXIST)
            return 0;
    }
    if (!linked)
        return 0; // errno is EEXIST: a hundred names in use
    if (rename(link_path, output_path) == 0)
        return 1;
    const int error = errno;
    unlink(link_path);
    errno = error;
    return 0;
}

// Puts the closed named file in place: renamed over the old file, or, when
// nothing may be replaced, linked under the output name (which fails if that
// name is taken) and its temporary name removed.
static int place_named() {
    if (output_may_replace)
        return rename(temporary_path, output_path) == 0;
    return link(temporary_path, output_path) == 0;
}

output_placement platform_finish_output(std::FILE *output, const char **reason) {
    int placed = 0;
    int error = 0;
    switch (route) {
    case route_in_place:
        placed = std::fclose(output) == 0;
        error = errno;
        break;
    case route_unnamed:
        // Nothing may stay buffered: the file is linked while still open.
        block_cleanup_signals(SIG_BLOCK); // no stray link name if interrupted
        placed = std::fflush(output) == 0 && link_unnamed(output);
        error = errno;
        block_cleanup_signals(SIG_UNBLOCK);
        if (std::fclose(output) != 0 && placed) {
            placed = 0; // in place, but what the system said on closing is reported
            error = errno;
        }
        break;
    case route_named:
        placed = std::fclose(output) == 0 && place_named();
        error = errno;
        if (placed && output_may_replace)
            temporary_path[0] = '\0'; // renamed: nothing is left to remove
        forget_named_temporary();
        break;
    }
    if (placed)
        return output_placed;
    *reason = std::strerror(error);
    return error == EEXIST && !output_may_replace ? output_name_taken : output_not_placed;
}

void platform_discard_output(std::FILE *output) {
    std::fclose(output); // an unnamed file vanishes with its last descriptor
    if (route == route_named)
        forget_named_temporary();
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
