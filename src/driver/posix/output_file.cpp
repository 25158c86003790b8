// Writing the output file on POSIX systems, never doing more than
// fopen(name, "wb") could: the kernel follows every symbolic link inside an
// open call, so its protections judge us as they judge fopen, and the object
// reached is judged by decide_output on every route. A new file, or one
// replaced whole, is a temporary file in the output's folder, put in place
// when complete only while the name still holds what it held at the first
// look (checked just before the rename: a tiny window remains).
#include "driver/platform.h"

#include "dds/dds_reader.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

// How the output reaches its name.
enum output_route {
    route_in_place, // the object itself, or the open stream the name denotes
    route_unnamed,  // an unnamed file, linked in when whole
    route_named,    // a named temporary file, renamed when whole
};

// Room for a list of extended attribute names, and for one value.
constexpr std::size_t attribute_list_size = 16384;
constexpr std::size_t attribute_value_size = 65536;
// A temporary file's name: ".dxtc2tga-" and 16 random hex digits ".tmp".
constexpr std::size_t temporary_name_size = 32;
// How many names are tried before a folder is taken to refuse new files.
constexpr int temporary_attempts = 100;
// Room for "/proc/self/fd/" and a descriptor's number.
constexpr std::size_t proc_path_size = 64;

// One output per run, so its state is kept here.
struct output_file {
    output_route route;
    int replacing;                       // the name held `old`, which is replaced
    struct stat old;                     // what the name held at the first look
    int folder;                          // the folder the file is placed in
    char base[NAME_MAX + 1];             // the file's name in that folder
    mode_t mode;                         // the permissions a named or replacing file ends with
    char temporary[temporary_name_size]; // the named temporary file's name, or empty
    sigset_t handled;                    // the signals that remove it
    char failure[128];                   // the text of a failed placing
};

static output_file out;

static int same_file(const struct stat *a, const struct stat *b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

static int ends_with(const char *name, const char *suffix) {
    const std::size_t length = std::strlen(name), suffix_length = std::strlen(suffix);
    return length >= suffix_length && strcasecmp(name + length - suffix_length, suffix) == 0;
}

// The name /proc gives the object open as `fd`, which opens it again.
static const char *proc_path(int fd, char *path) {
    std::snprintf(path, proc_path_size, "/proc/self/fd/%d", fd);
    return path;
}

// Opens the folder `name` lies in (through links, by the kernel) into
// out.folder and its last component into out.base; 0 with errno set when the
// folder cannot be opened or the name ends in a slash.
static int open_folder_of(const char *name) {
    const char *slash = std::strrchr(name, '/');
    const char *last = slash != nullptr ? slash + 1 : name;
    if (std::strlen(last) > NAME_MAX || *last == '\0') {
        errno = *name == '\0' ? ENOENT : *last == '\0' ? EISDIR : ENAMETOOLONG;
        return 0;
    }
    char folder[PATH_MAX];
    const int length = slash == nullptr ? 0 : static_cast<int>(slash - name);
    if (std::snprintf(folder, sizeof folder, "%.*s", length, name) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return 0;
    }
    const char *shown = slash == nullptr ? "." : length == 0 ? "/" : folder;
    out.folder = open(shown, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out.folder < 0)
        out.folder = open(shown, O_PATH | O_DIRECTORY | O_CLOEXEC); // a folder we may not read
    std::snprintf(out.base, sizeof out.base, "%s", last);
    return out.folder >= 0;
}

// Whether the output's folder takes new names but keeps the old ones
// (chattr +a) or takes none (+i): nothing could be renamed there.
static int folder_keeps_names() {
    int flags = 0;
    return ioctl(out.folder, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// Whether the object open as `fd` starts with the DDS signature. A file open
// for writing only is opened again for reading, where we may read it.
static output_signature signature_of(int fd, const struct stat *status) {
    unsigned char start[dds_signature_size];
    ssize_t length = pread(fd, start, sizeof start, 0);
    if (length < 0 && errno == EBADF && S_ISREG(status->st_mode)) {
        char path[proc_path_size];
        const int reader = open(proc_path(fd, path), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        length = reader < 0 ? -1 : pread(reader, start, sizeof start, 0);
        if (reader >= 0)
            close(reader);
    }
    if (length < 0)
        return signature_unreadable; // a file we may only write, a pipe
    return length == static_cast<ssize_t>(sizeof start) && is_dds_signature(start)
               ? signature_dds
               : signature_other;
}

// Whether the object open as `fd` has a name ending in ".dds", as the
// kernel knows it (a stream's redirection "> t.dds" has no other).
static int kernel_name_is_dds(int fd) {
    char path[proc_path_size], target[PATH_MAX];
    const ssize_t length = readlink(proc_path(fd, path), target, sizeof target - 1);
    target[length > 0 ? length : 0] = '\0';
    return ends_with(target, ".dds");
}

// The standard output or error open for writing on `status`'s object, or -1.
static int standard_stream_of(const struct stat *status) {
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat open_status;
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &open_status) == 0 &&
            same_file(status, &open_status))
            return fd;
    }
    return -1;
}

// Makes the temporary's extended attributes (ACLs among them) exactly the
// old file's: those it inherited from the folder go. 0 when one cannot be.
static int copy_attributes(int from, int to) {
    static char names[attribute_list_size];
    static char value[attribute_value_size];
    ssize_t length = flistxattr(to, names, sizeof names);
    for (const char *name = names; length > 0 && name < names + length;
         name += std::strlen(name) + 1)
        if (fremovexattr(to, name) != 0)
            return 0;
    length = flistxattr(from, names, sizeof names);
    if (length < 0)
        return errno == ENOTSUP; // a file system without them: nothing to copy
    for (const char *name = names; name < names + length; name += std::strlen(name) + 1) {
        const ssize_t size = fgetxattr(from, name, value, sizeof value);
        if (size < 0 || fsetxattr(to, name, value, static_cast<std::size_t>(size), 0) != 0)
            return 0;
    }
    return 1;
}

// Gives the temporary the old file's flags (chattr's); 0 when they differ.
static int copy_flags(int from, int to) {
    int old_flags = 0, new_flags = 0;
    if (ioctl(from, FS_IOC_GETFLAGS, &old_flags) != 0)
        return 1; // a file system without them
    old_flags &= FS_FL_USER_MODIFIABLE;
    if (ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0)
        return old_flags == 0;
    if ((new_flags & FS_FL_USER_MODIFIABLE) != old_flags) {
        new_flags = (new_flags & ~FS_FL_USER_MODIFIABLE) | old_flags;
        if (ioctl(to, FS_IOC_SETFLAGS, &new_flags) != 0 ||
            ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0)
            return 0;
    }
    return (new_flags & FS_FL_USER_MODIFIABLE) == old_flags;
}

// The mount a file or folder is on, so that a file mounted over its name
// (a container's bind mount), which no rename can replace, is known; 0 where
// the system cannot tell (statx leaves a field it does not fill zero).
static unsigned long long mount_of(int fd) {
    struct statx status = {};
    statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &status);
    return status.stx_mnt_id;
}

// Signals whose default action does not end the process, and the two that
// cannot be caught; every other one removes the named temporary file.
static const int lasting_signals[] = {SIGCHLD, SIGCONT, SIGSTOP,  SIGTSTP, SIGTTIN,
                                      SIGTTOU, SIGURG,  SIGWINCH, SIGKILL};

static void cleanup_signals(sigset_t *set) {
    sigfillset(set);
    for (int lasting : lasting_signals)
        sigdelset(set, lasting);
}

// Blocks every signal that ends the process, keeping the caller's mask in
// `saved` to be set again: no stray name is left by a signal between making
// a name and recording or renaming it.
static void hold_signals(sigset_t *saved) {
    sigset_t set;
    cleanup_signals(&set);
    sigprocmask(SIG_BLOCK, &set, saved);
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
    sigset_t cleanup;
    cleanup_signals(&cleanup);
    sigemptyset(&out.handled);
    for (int s = 1; s < _NSIG; ++s) {
        struct sigaction current;
        if (sigismember(&cleanup, s) == 1 && sigaction(s, nullptr, &current) == 0 &&
            current.sa_handler == SIG_DFL && (current.sa_flags & SA_SIGINFO) == 0 &&
            sigaction(s, &action, nullptr) == 0)
            sigaddset(&out.handled, s);
    }
}

// Removes the named temporary file, if any, and sets the default action
// back wherever the cleanup handler replaced it; errno is kept.
static void forget_named_temporary() {
    const int error = errno;
    sigset_t saved;
    hold_signals(&saved);
    if (out.temporary[0] != '\0')
        unlinkat(out.folder, out.temporary, 0);
    out.temporary[0] = '\0';
    for (int s = 1; s < _NSIG; ++s)
        if (sigismember(&out.handled, s) == 1)
            signal(s, SIG_DFL);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    errno = error;
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

static int link_unnamed(int fd, const char *name) {
    char path[proc_path_size];
    return linkat(AT_FDCWD, proc_path(fd, path), out.folder, name, AT_SYMLINK_FOLLOW);
}

// Under fresh names until one is free, kept in `name` (emptied on failure):
// a second name for the unnamed file `unnamed` (0), or with `unnamed` -1 the
// named temporary file (its descriptor); -1 with errno set on failure.
static int at_fresh_name(int unnamed, char *name) {
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        random_temporary_name(name);
        const int result =
            unnamed >= 0 ? link_unnamed(unnamed, name)
                         : openat(out.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (result >= 0)
            return result;
        if (errno != EEXIST)
            break;
    }
    name[0] = '\0';
    return -1;
}

// A temporary file in the output's folder, its route recorded: unnamed
// (O_TMPFILE) where it can be, which the system removes however the process
// ends, made as fopen makes a file (0666 less the umask, a default ACL
// applied); else named, private (0600), and removed on every failure and
// every signal that would end the process. -1 with errno set when none can be.
static int make_temporary() {
    // The unnamed file is linked in through /proc; without /proc it cannot be.
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(out.folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0)
            out.route = route_unnamed;
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
            return fd; // or the folder itself refuses: a named file would fare no better
    }
    // The name is recorded before any signal can see the file.
    sigset_t saved;
    hold_signals(&saved);
    install_cleanup();
    const int fd = at_fresh_name(-1, out.temporary);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (fd < 0)
        forget_named_temporary();
    else
        out.route = route_named;
    return fd;
}

static void drop_temporary(int fd) {
    close(fd);
    if (out.route == route_named)
        forget_named_temporary();
    out.route = route_in_place;
}

// A temporary file that will replace the regular file `old_fd` named `name`,
// already carrying its owner, group, attributes and flags. -1 where a
// replace could not leave what writing in place would (another name, a name
// that is a link or a mount, another owner, a folder that keeps its names or
// takes no new file): the file is then written in place. -2 with errno set
// where no file can be made at all (a full disk): nothing is to be touched.
static int open_replacement(int old_fd, const struct stat *old, const char *name) {
    struct stat named;
    if (old->st_nlink > 1 || (old->st_uid != geteuid() && geteuid() != 0) ||
        !open_folder_of(name) || fstatat(out.folder, out.base, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(&named, old) || mount_of(old_fd) != mount_of(out.folder) || folder_keeps_names())
        return -1;
    const int fd = make_temporary();
    if (fd < 0)
        return errno == ENOSPC || errno == EDQUOT ? -2 : -1;
    const mode_t mode = old->st_mode & 07777;
    struct stat made;
    // The mode is tried now, special bits and all, and the file kept private
    // until it is placed.
    const int kept = copy_attributes(old_fd, fd) && copy_flags(old_fd, fd) &&
                     fstat(fd, &made) == 0 &&
                     ((made.st_uid == old->st_uid && made.st_gid == old->st_gid) ||
                      fchown(fd, old->st_uid, old->st_gid) == 0) &&
                     fchmod(fd, mode) == 0 && fstat(fd, &made) == 0 &&
                     (made.st_mode & 07777) == mode && fchmod(fd, 0600) == 0;
    if (!kept) {
        drop_temporary(fd);
        return -1;
    }
    out.replacing = 1;
    out.old = *old;
    out.mode = mode;
    return fd;
}

// Every refusal and failure: `fd` closed where it is open, `text` the reason.
static std::FILE *fail(int fd, const char *text, const char **reason) {
    if (fd >= 0)
        close(fd);
    *reason = text;
    return nullptr;
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

// Carries out the decision on the object open as `fd` (a duplicate of the
// standard stream the name denotes where `stream`, keeping its position and
// append mode: "B a.dds /dev/stdout >> log" adds to log): a refusal, the
// object written in place, or a temporary file that replaces it.
static std::FILE *carry_out(int fd, int stream, const char *name, output_consent consent,
                            std::FILE *input, const char **reason) {
    struct stat status, input_status;
    if (fd < 0 || fstat(fd, &status) != 0)
        return fail(fd, std::strerror(errno), reason);
    const int regular = !stream && S_ISREG(status.st_mode);
    output_facts facts = {};
    facts.object = stream ? object_stream : regular ? object_file : object_device;
    facts.is_input = fstat(fileno(input), &input_status) == 0 && same_file(&status, &input_status);
    facts.signature = signature_of(fd, &status);
    facts.dds_name = ends_with(name, ".dds") || kernel_name_is_dds(fd);
    facts.tga_name = ends_with(name, ".tga");
    facts.consent = consent;
    facts.replace_keeps_all = 1; // until a replace is tried
    output_decision decision = decide_output(&facts);
    if (decision == decide_replace) {
        const int replacement = open_replacement(fd, &status, name);
        if (replacement == -2)
            return fail(fd, std::strerror(errno), reason);
        if (replacement >= 0) {
            close(fd);
            return stream_on(replacement, reason);
        }
        facts.replace_keeps_all = 0;
        decision = decide_output(&facts);
    }
    if (const char *refusal = refusal_reason(decision))
        return fail(fd, refusal, reason);
    if (regular && ftruncate(fd, 0) != 0) // as fopen's "w" cuts it
        return fail(fd, std::strerror(errno), reason);
    return stream_on(fd, reason);
}

// A name nothing had at the first look: a temporary file put in place only
// while the name is still free. A folder that keeps its names (chattr +a)
// gets the file made in place, as fopen would make it.
static std::FILE *open_new(const char *name, const char **reason) {
    if (!open_folder_of(name))
        return fail(-1, std::strerror(errno), reason);
    // The name is given only when the file is placed: a name too long for
    // its folder is refused now, as opening it would be.
    const long longest = fpathconf(out.folder, _PC_NAME_MAX);
    if (longest > 0 && std::strlen(out.base) > static_cast<std::size_t>(longest))
        return fail(-1, std::strerror(ENAMETOOLONG), reason);
    const int fd =
        folder_keeps_names()
            ? openat(out.folder, out.base, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666)
            : make_temporary();
    if (fd < 0)
        return fail(-1, std::strerror(errno), reason);
    const mode_t mask = umask(0);
    umask(mask);
    out.mode = 0666 & ~mask; // what fopen gives a new file
    return stream_on(fd, reason);
}

std::FILE *platform_open_output(const char *name, output_consent consent, std::FILE *input,
                                const char **reason) {
    if (out.folder > 0)
        close(out.folder);
    out.route = route_in_place;
    out.replacing = 0;
    out.folder = -1;

    // The first look, through every link as the kernel follows them.
    const int look = open(name, O_PATH | O_CLOEXEC);
    const int error = errno;
    struct stat seen;
    if (look < 0 && error == ENOENT && lstat(name, &seen) != 0)
        return open_new(name, reason);
    const int stream = look >= 0 && fstat(look, &seen) == 0 ? standard_stream_of(&seen) : -1;
    if (look >= 0)
        close(look);
    if (stream >= 0)
        return carry_out(fcntl(stream, F_DUPFD_CLOEXEC, 0), 1, name, consent, input, reason);
    // A link to nothing makes its target, as fopen would, once agreed to.
    if (look < 0 && (error != ENOENT || consent == consent_none))
        return fail(-1, std::strerror(error == ENOENT ? EEXIST : error), reason);
    // Opened for writing as fopen opens it (O_CREAT: protected_regular
    // applies) but not cut, so that it is judged first; a FIFO for writing
    // only, so that it waits for its reader as with fopen.
    int fd = look >= 0 && S_ISREG(seen.st_mode)
                 ? open(name, O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666)
                 : -1;
    if (fd < 0)
        fd = open(name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    return carry_out(fd, 0, name, consent, input, reason);
}

// Puts the named temporary file in place without replacing anything: fails
// with EEXIST if the name is taken. File systems without RENAME_NOREPLACE or
// hard links (vfat, some FUSE) get a look and a rename.
static int place_without_replacing() {
    if (renameat2(out.folder, out.temporary, out.folder, out.base, RENAME_NOREPLACE) == 0)
        return 1;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return 0;
    if (linkat(out.folder, out.temporary, out.folder, out.base, 0) == 0) {
        unlinkat(out.folder, out.temporary, 0);
        return 1;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS)
        return 0;
    struct stat status;
    if (fstatat(out.folder, out.base, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return 0;
    }
    return renameat(out.folder, out.temporary, out.folder, out.base) == 0;
}

// Renames `from` over the old file, only while the name still holds it.
static int replace_old(const char *from) {
    struct stat now;
    if (fstatat(out.folder, out.base, &now, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    if (!same_file(&now, &out.old)) {
        errno = S_ISDIR(now.st_mode) ? EISDIR : EEXIST;
        return 0;
    }
    return renameat(out.folder, from, out.folder, out.base) == 0;
}

static int place_unnamed(int fd) {
    if (!out.replacing)
        return link_unnamed(fd, out.base) == 0;
    char link_name[temporary_name_size];
    if (at_fresh_name(fd, link_name) != 0)
        return 0;
    if (replace_old(link_name))
        return 1;
    const int error = errno;
    unlinkat(out.folder, link_name, 0);
    errno = error;
    return 0;
}

output_placement platform_finish_output(std::FILE *output, const char **reason) {
    if (out.route == route_in_place) {
        if (std::fclose(output) == 0)
            return output_placed;
        *reason = std::strerror(errno);
        return output_not_placed;
    }
    // The final permissions (a new unnamed file was made with them), given
    // before the file gets its name; nothing may stay buffered, as the
    // unnamed file is linked while still open.
    const int set_mode = out.replacing || out.route == route_named;
    int placed = (!set_mode || fchmod(fileno(output), out.mode) == 0) && std::fflush(output) == 0;
    int error = errno;
    if (placed && out.route == route_unnamed) {
        sigset_t saved;
        hold_signals(&saved); // no stray link name if interrupted
        placed = place_unnamed(fileno(output));
        error = errno;
        sigprocmask(SIG_SETMASK, &saved, nullptr);
    }
    if (std::fclose(output) != 0 && placed) {
        placed = 0; // what the system said on closing is reported
        error = errno;
    }
    if (placed && out.route == route_named) {
        placed = out.replacing ? replace_old(out.temporary) : place_without_replacing();
        error = errno;
        if (placed)
            out.temporary[0] = '\0'; // renamed: nothing is left to remove
    }
    if (out.route == route_named)
        forget_named_temporary();
    if (placed)
        return output_placed;
    if (error == EEXIST && !out.replacing) {
        *reason = std::strerror(error);
        return output_name_taken;
    }
    std::snprintf(out.failure, sizeof out.failure, "%s%s", output_not_placed_reason,
                  std::strerror(error));
    *reason = out.failure;
    return output_not_placed;
}

void platform_discard_output(std::FILE *output) {
    std::fclose(output); // an unnamed file vanishes with its last descriptor
    if (out.route == route_named)
        forget_named_temporary();
}
