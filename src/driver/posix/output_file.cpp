// Writing the output file on POSIX systems. A file that can be replaced
// whole is written under another name in its folder and put in place only
// once it is complete: preferably an unnamed file (O_TMPFILE) linked in at
// the end, which the system removes by itself however the process ends;
// where the file system has no unnamed files, a private named temporary file,
// removed on every failure and on every signal that would end the process.
//
// A replace changes nothing but the contents: what writing in place
// (fopen(name, "wb")) would refuse is refused, and the new file gets the old
// one's owner, group, mode and extended attributes (ACLs among them). Where
// that cannot be had - another name, another owner, an attribute we cannot
// copy, a folder we may not write in - the file is written in place. Every
// such question is settled when the output is opened, before the long work.
#include "driver/platform.h"

#include "dds/dds_reader.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

// How the output reaches its name.
enum output_route {
    route_in_place, // the file itself, or the open stream the name denotes
    route_unnamed,  // an unnamed file, linked in when whole
    route_named,    // a named temporary file, renamed when whole
};

// The temporary file's name: ".dxtc2tga-" and 16 random hex digits ".tmp".
constexpr std::size_t temporary_name_size = 32;
// How many names are tried before a folder is taken to refuse new files.
constexpr int temporary_attempts = 100;
// The most symbolic links followed from the output name (the kernel's limit).
constexpr int link_hops_limit = 40;
// Room for a list of extended attribute names, and for one value.
constexpr std::size_t attribute_list_size = 16384;
constexpr std::size_t attribute_value_size = 65536;

// One output per run, so its state is kept here.
struct output_file {
    output_route route;
    int may_replace;                     // an existing file may be replaced
    int folder;                          // the folder the file is placed in
    char base[NAME_MAX + 1];             // the file's name in that folder
    char temporary[temporary_name_size]; // the named temporary, while it exists
    int set_mode;                        // `mode` is given before placing
    mode_t mode;                         // the permissions the file ends with
    int signals_held[_NSIG];             // our cleanup handler is installed
    struct sigaction previous[_NSIG];    // what it replaced
};

static output_file out;

// Signals whose default action does not end the process, and the two that
// cannot be caught; every other one removes the named temporary file.
static int is_cleanup_signal(int signal_number) {
    switch (signal_number) {
    case SIGCHLD:
    case SIGCONT:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
    case SIGKILL:
        return 0;
    default:
        return 1;
    }
}

// Blocks (or unblocks) every signal that ends the process, so that a name
// is recorded before a handler can see it, and no stray name is left by a
// signal between linking and renaming.
static void hold_signals(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int s = 1; s < _NSIG; ++s)
        if (is_cleanup_signal(s))
            sigaddset(&set, s);
    sigprocmask(how, &set, nullptr);
}

// Removes the named temporary file, then dies by the same signal, as shells
// expect of a program that was interrupted.
static void remove_temporary_and_die(int signal_number) {
    unlinkat(out.folder, out.temporary, 0);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// The cleanup handler for every signal that would end the process and is at
// its default action: a signal someone chose to ignore (nohup) stays ignored.
static void install_cleanup() {
    struct sigaction action = {};
    action.sa_handler = remove_temporary_and_die;
    sigemptyset(&action.sa_mask);
    for (int s = 1; s < _NSIG; ++s) {
        out.signals_held[s] = 0;
        struct sigaction current;
        if (!is_cleanup_signal(s) || sigaction(s, nullptr, &current) != 0 ||
            current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0)
            continue;
        out.previous[s] = current;
        out.signals_held[s] = sigaction(s, &action, nullptr) == 0;
    }
}

// Removes the named temporary file (if any) and restores the signals.
static void forget_named_temporary() {
    hold_signals(SIG_BLOCK);
    if (out.temporary[0] != '\0')
        unlinkat(out.folder, out.temporary, 0);
    out.temporary[0] = '\0';
    for (int s = 1; s < _NSIG; ++s)
        if (out.signals_held[s])
            sigaction(s, &out.previous[s], nullptr);
    hold_signals(SIG_UNBLOCK);
}

// A fresh temporary name nobody can guess, so nobody can take it first.
static void random_temporary_name(char *name) {
    unsigned long long bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        struct timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        bits ^= static_cast<unsigned long long>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL ^
                static_cast<unsigned long long>(getpid());
    }
    std::snprintf(name, temporary_name_size, ".dxtc2tga-%016llx.tmp", bits);
}

// What to make under a fresh name in the output's folder.
enum fresh_use {
    fresh_create, // the named temporary file, created there
    fresh_link,   // a second name for the unnamed file open as `unnamed`
};

// Makes a file under fresh names in the output's folder until one is free,
// with `name` holding the last name tried. Returns the new file's descriptor
// (fresh_create) or 0 (fresh_link); -1 with errno set on failure.
static int at_fresh_name(fresh_use use, int unnamed, char *name) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", unnamed);
    int result = -1;
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        random_temporary_name(name);
        if (use == fresh_create)
            result = openat(out.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        else
            result = linkat(AT_FDCWD, proc_path, out.folder, name, AT_SYMLINK_FOLLOW);
        if (result >= 0 || errno != EEXIST)
            break;
    }
    return result;
}

// Opens the folder of `path` (relative to `at`) into `*folder` and copies its
// last component into `base`, which is empty for a path ending in a slash.
static int open_folder_of(int at, const char *path, int *folder, char *base) {
    const char *slash = std::strrchr(path, '/');
    const char *last = slash != nullptr ? slash + 1 : path;
    if (std::strlen(last) > NAME_MAX) {
        errno = ENAMETOOLONG;
        return 0;
    }
    char folder_path[PATH_MAX];
    const std::size_t folder_length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
    if (folder_length >= sizeof folder_path) {
        errno = ENAMETOOLONG;
        return 0;
    }
    if (slash == nullptr)
        std::memcpy(folder_path, ".", sizeof ".");
    else if (folder_length == 0)
        std::memcpy(folder_path, "/", sizeof "/"); // "/name" lies in "/"
    else {
        std::memcpy(folder_path, path, folder_length);
        folder_path[folder_length] = '\0';
    }
    *folder = openat(at, folder_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*folder < 0)
        return 0;
    std::strcpy(base, last); // NOLINT(clang-analyzer-security.insecureAPI.strcpy): checked above
    return 1;
}

// Follows symbolic links from `base` in `*folder` to the name in its folder
// that they end at, each link read relative to its own folder, so no path
// longer than the system takes is ever built. Returns 0 with errno set when
// a link cannot be followed.
static int follow_links(int *folder, char *base) {
    for (int hops = 0;; ++hops) {
        struct stat status;
        if (fstatat(*folder, base, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT; // nothing there: the file will be made
        if (!S_ISLNK(status.st_mode))
            return 1;
        char target[PATH_MAX];
        const ssize_t length = readlinkat(*folder, base, target, sizeof target);
        if (hops == link_hops_limit || length < 0 ||
            static_cast<std::size_t>(length) >= sizeof target) {
            errno = length < 0 ? errno : hops == link_hops_limit ? ELOOP : ENAMETOOLONG;
            return 0;
        }
        target[length] = '\0';
        int next = -1;
        if (!open_folder_of(*folder, target, &next, base))
            return 0;
        close(*folder);
        *folder = next;
    }
}

static int same_file(const struct stat *a, const struct stat *b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Whether the first four bytes of the open file are the DDS signature. A
// file we may only write cannot be read, and is taken not to be a texture.
static int is_dds_file(int fd) {
    unsigned char start[dds_signature_size];
    return pread(fd, start, sizeof start, 0) == static_cast<ssize_t>(sizeof start) &&
           is_dds_signature(start);
}

// The standard output or error when `status` is its file and it is open for
// writing: a duplicate of it, sharing its position and append mode; else -1.
static int open_standard_stream(const struct stat *status) {
    static const int standard_streams[] = {STDOUT_FILENO, STDERR_FILENO};
    for (int fd : standard_streams) {
        struct stat open_status;
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &open_status) == 0 &&
            same_file(status, &open_status))
            return fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    return -1;
}

// Copies every extended attribute (ACLs among them) from one open file to
// another; 0 with errno set when one cannot be read or written.
static int copy_attributes(int from, int to) {
    static char names[attribute_list_size];
    static char value[attribute_value_size];
    const ssize_t length = flistxattr(from, names, sizeof names);
    if (length < 0)
        return errno == ENOTSUP; // a file system without them: nothing to copy
    for (const char *name = names; name < names + length; name += std::strlen(name) + 1) {
        const ssize_t size = fgetxattr(from, name, value, sizeof value);
        if (size < 0 || fsetxattr(to, name, value, static_cast<std::size_t>(size), 0) != 0)
            return 0;
    }
    return 1;
}

// A temporary file in the output's folder; -1 with errno set when none can
// be made there. The unnamed file is made as fopen would make the file (0666
// less the umask, a folder's default ACL applied): nobody else can open it.
// The named one is private (0600) until it is placed.
static int create_temporary() {
#if defined(O_TMPFILE)
    // The unnamed file is linked in through /proc; without /proc it cannot be.
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(out.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            out.route = route_unnamed;
            return fd;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return -1; // the folder itself refuses: a named file would fare no better
    }
#endif
    // The name is recorded before any signal can see the file.
    hold_signals(SIG_BLOCK);
    install_cleanup();
    const int fd = at_fresh_name(fresh_create, -1, out.temporary);
    const int error = errno;
    if (fd < 0)
        out.temporary[0] = '\0';
    hold_signals(SIG_UNBLOCK);
    if (fd < 0) {
        forget_named_temporary();
        errno = error;
        return -1;
    }
    out.route = route_named;
    return fd;
}

// Removes the temporary file made by create_temporary.
static void drop_temporary(int fd) {
    close(fd);
    if (out.route == route_named)
        forget_named_temporary();
    out.route = route_in_place;
}

// The mode a new file gets from fopen: 0666 less the umask.
static mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A temporary file that will replace `existing` (open as `old_fd`), already
// given its owner, group and extended attributes, and private until placed.
// -1 where the replace could not keep them all or the folder takes no new
// file: the file is then written in place. -2 with errno set where no file
// can be made at all (a full disk): nothing is to be touched.
static int open_replacement(int old_fd, const struct stat *existing) {
    // Another name would keep the old contents; another owner's file could
    // not be given back to them.
    if (existing->st_nlink > 1 || (existing->st_uid != geteuid() && geteuid() != 0))
        return -1;
    const int fd = create_temporary();
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? -1 : -2;
    struct stat status;
    const int kept = fstat(fd, &status) == 0 &&
                     ((status.st_uid == existing->st_uid && status.st_gid == existing->st_gid) ||
                      fchown(fd, existing->st_uid, existing->st_gid) == 0) &&
                     copy_attributes(old_fd, fd) && fchmod(fd, 0600) == 0;
    if (!kept) {
        drop_temporary(fd);
        return -1;
    }
    out.set_mode = 1;
    out.mode = existing->st_mode & 07777;
    return fd;
}

// The output written in place through `name`, as fopen(name, "wb") would.
static std::FILE *open_in_place_by_name(const char *name, const char **reason) {
    out.route = route_in_place;
    std::FILE *output = std::fopen(name, "wbe");
    if (output == nullptr)
        *reason = std::strerror(errno);
    return output;
}

// A stream on `fd`, or null with the reason when none can be had.
static std::FILE *stream_on(int fd, const char **reason) {
    std::FILE *output = fdopen(fd, "wb");
    if (output == nullptr) {
        *reason = std::strerror(errno);
        drop_temporary(fd);
    }
    return output;
}

// Opens an existing file for writing as fopen would, so that what it
// refuses is refused here; for reading too where we may, to look at its
// signature. -1 with errno set on failure.
static int open_for_writing(int folder, const char *path, int flags) {
    const int fd = openat(folder, path, O_RDWR | O_NOCTTY | O_CLOEXEC | flags);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return openat(folder, path, O_WRONLY | O_NOCTTY | O_CLOEXEC | flags);
}

// The existing regular file `seen`, open as `fd` (or -1 with errno set):
// refused, replaced through a temporary file where `may_move` allows, or
// written in place.
static std::FILE *open_existing(int fd, const struct stat *seen, int may_move, std::FILE *input,
                                const char **reason) {
    struct stat existing, input_status;
    if (fd < 0 || fstat(fd, &existing) != 0) {
        *reason = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    *reason = nullptr;
    if (!same_file(&existing, seen))
        *reason = std::strerror(EAGAIN); // another file took the name meanwhile
    else if (fstat(fileno(input), &input_status) == 0 && same_file(&existing, &input_status))
        *reason = output_is_input_reason;
    else if (is_dds_file(fd))
        *reason = output_is_dds_reason;
    if (*reason != nullptr) {
        close(fd);
        return nullptr;
    }
    const int replacement =
        may_move && S_ISREG(existing.st_mode) ? open_replacement(fd, &existing) : -1;
    if (replacement == -2) {
        *reason = std::strerror(errno);
        close(fd);
        return nullptr;
    }
    if (replacement >= 0) {
        close(fd);
        return stream_on(replacement, reason);
    }
    out.route = route_in_place;
    if (S_ISREG(existing.st_mode) && ftruncate(fd, 0) != 0) {
        *reason = std::strerror(errno);
        close(fd);
        return nullptr;
    }
    return stream_on(fd, reason);
}

std::FILE *platform_open_output(const char *name, int may_replace, std::FILE *input,
                                const char **reason) {
    if (out.folder > 0)
        close(out.folder);
    out.route = route_in_place;
    out.may_replace = may_replace;
    out.folder = -1;
    out.temporary[0] = '\0';
    out.set_mode = 0;

    struct stat seen, input_status;
    if (lstat(name, &seen) == 0 && !may_replace) {
        *reason = std::strerror(EEXIST);
        return nullptr;
    }
    // What the name denotes, through every link, as opening it would see it.
    const int exists = stat(name, &seen) == 0;
    if (!exists && errno != ENOENT) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    if (exists && fstat(fileno(input), &input_status) == 0 && same_file(&seen, &input_status)) {
        *reason = output_is_input_reason;
        return nullptr;
    }
    // A name for the open standard output is written through it, keeping its
    // position and append mode: "B a.dds /dev/stdout >> log" adds to log.
    const int standard = exists ? open_standard_stream(&seen) : -1;
    if (standard >= 0)
        return stream_on(standard, reason);
    // Devices, pipes and folders are opened as they are (a folder is refused).
    if (exists && !S_ISREG(seen.st_mode))
        return open_in_place_by_name(name, reason);

    if (!open_folder_of(AT_FDCWD, name, &out.folder, out.base) ||
        !follow_links(&out.folder, out.base)) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    // A name ending in a slash, or links the kernel follows otherwise than
    // their text reads (/proc's): written through the name, never replaced.
    struct stat found;
    const int resolved = fstatat(out.folder, out.base, &found, AT_SYMLINK_NOFOLLOW) == 0;
    const int unresolved =
        out.base[0] == '\0' || resolved != exists || (exists && !same_file(&found, &seen));
    if (unresolved && !exists)
        return open_in_place_by_name(name, reason);
    if (exists)
        return unresolved
                   ? open_existing(open_for_writing(AT_FDCWD, name, 0), &seen, 0, input, reason)
                   : open_existing(open_for_writing(out.folder, out.base, O_NOFOLLOW), &seen, 1,
                                   input, reason);

    // A new file. Its name is given only when it is placed: a name too long
    // for its folder is refused now, as opening it would be.
    const long longest = fpathconf(out.folder, _PC_NAME_MAX);
    if (longest > 0 && std::strlen(out.base) > static_cast<std::size_t>(longest)) {
        *reason = std::strerror(ENAMETOOLONG);
        return nullptr;
    }
    const int fd = create_temporary();
    if (fd < 0) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    out.set_mode = out.route == route_named;
    out.mode = new_file_mode();
    return stream_on(fd, reason);
}

// Puts a file in place under the output name without replacing anything:
// fails with EEXIST if the name is taken. `from` is the named temporary
// file. File systems without hard links or RENAME_NOREPLACE (vfat, some
// FUSE) get a look and a rename.
static int place_without_replacing(const char *from) {
    if (renameat2(out.folder, from, out.folder, out.base, RENAME_NOREPLACE) == 0)
        return 1;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return 0;
    if (linkat(out.folder, from, out.folder, out.base, 0) == 0) {
        unlinkat(out.folder, from, 0);
        return 1;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS)
        return 0;
    struct stat status;
    if (fstatat(out.folder, out.base, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return 0;
    }
    return renameat(out.folder, from, out.folder, out.base) == 0;
}

// Puts the unnamed file in place: linked under a fresh name and renamed over
// the old file, or, when nothing may be replaced, linked under the output
// name itself, which fails if that name is taken.
static int link_unnamed(std::FILE *output) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fileno(output));
    if (!out.may_replace)
        return linkat(AT_FDCWD, proc_path, out.folder, out.base, AT_SYMLINK_FOLLOW) == 0;
    char link_name[temporary_name_size];
    if (at_fresh_name(fresh_link, fileno(output), link_name) != 0)
        return 0;
    if (renameat(out.folder, link_name, out.folder, out.base) == 0)
        return 1;
    const int error = errno;
    unlinkat(out.folder, link_name, 0);
    errno = error;
    return 0;
}

// Puts the closed named file in place: renamed over the old file, or, when
// nothing may be replaced, placed only where the name is free.
static int place_named() {
    if (out.may_replace)
        return renameat(out.folder, out.temporary, out.folder, out.base) == 0;
    return place_without_replacing(out.temporary);
}

output_placement platform_finish_output(std::FILE *output, const char **reason) {
    int placed = 0;
    int error = 0;
    // The final permissions, given before the file gets its name.
    const int mode_set = !out.set_mode || fchmod(fileno(output), out.mode) == 0;
    switch (out.route) {
    case route_in_place:
        placed = std::fclose(output) == 0;
        error = errno;
        break;
    case route_unnamed:
        // Nothing may stay buffered: the file is linked while still open.
        hold_signals(SIG_BLOCK); // no stray link name if interrupted
        placed = mode_set && std::fflush(output) == 0 && link_unnamed(output);
        error = errno;
        hold_signals(SIG_UNBLOCK);
        if (std::fclose(output) != 0 && placed) {
            placed = 0; // in place, but what the system said on closing is reported
            error = errno;
        }
        break;
    case route_named:
        placed = std::fclose(output) == 0 && mode_set && place_named();
        error = errno;
        if (placed)
            out.temporary[0] = '\0'; // renamed: nothing is left to remove
        forget_named_temporary();
        break;
    }
    if (placed)
        return output_placed;
    *reason = std::strerror(error);
    return error == EEXIST && !out.may_replace ? output_name_taken : output_not_placed;
}

void platform_discard_output(std::FILE *output) {
    std::fclose(output); // an unnamed file vanishes with its last descriptor
    if (out.route == route_named)
        forget_named_temporary();
}
