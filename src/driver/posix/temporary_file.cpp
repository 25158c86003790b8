#include "driver/posix/temporary_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

// How many names are tried before a folder is taken to refuse new files.
constexpr int temporary_attempts = 100;

// One named temporary file per run, and the handlers that remove it.
struct temporary_file {
    int folder;
    char name[temporary_name_size];   // empty when there is none
    int signals_held[_NSIG];          // our cleanup handler is installed
    struct sigaction previous[_NSIG]; // what it replaced
};

static temporary_file temporary;

// Signals whose default action does not end the process, and the two that
// cannot be caught; every other one removes the named temporary file.
static const int lasting_signals[] = {SIGCHLD, SIGCONT, SIGSTOP,  SIGTSTP, SIGTTIN,
                                      SIGTTOU, SIGURG,  SIGWINCH, SIGKILL};

static int is_cleanup_signal(int signal_number) {
    for (int lasting : lasting_signals)
        if (signal_number == lasting)
            return 0;
    return 1;
}

void hold_signals(sigset_t *saved) {
    sigset_t set;
    sigemptyset(&set);
    for (int s = 1; s < _NSIG; ++s)
        if (is_cleanup_signal(s))
            sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, saved);
}

// Removes the named temporary file, then dies by the same signal, as shells
// expect of a program that was interrupted.
static void remove_temporary_and_die(int signal_number) {
    unlinkat(temporary.folder, temporary.name, 0);
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
        temporary.signals_held[s] = 0;
        struct sigaction current;
        if (!is_cleanup_signal(s) || sigaction(s, nullptr, &current) != 0 ||
            current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0)
            continue;
        temporary.previous[s] = current;
        temporary.signals_held[s] = sigaction(s, &action, nullptr) == 0;
    }
}

void forget_named_temporary() {
    sigset_t saved;
    hold_signals(&saved);
    if (temporary.name[0] != '\0')
        unlinkat(temporary.folder, temporary.name, 0);
    temporary.name[0] = '\0';
    for (int s = 1; s < _NSIG; ++s)
        if (temporary.signals_held[s])
            sigaction(s, &temporary.previous[s], nullptr);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
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

const char *proc_path(int fd, char *path) {
    std::snprintf(path, proc_path_size, "/proc/self/fd/%d", fd);
    return path;
}

int link_unnamed(int folder, int fd, const char *name) {
    char path[proc_path_size];
    return linkat(AT_FDCWD, proc_path(fd, path), folder, name, AT_SYMLINK_FOLLOW);
}

// Makes a file under fresh names in `folder` until one is free, with
// `name` holding the last name tried: a second name for the unnamed file
// `unnamed`, or, with `unnamed` -1, the named temporary file. Returns its
// descriptor (or 0 for a link); -1 with errno set on failure.
static int at_fresh_name(int folder, int unnamed, char *name) {
    int result = -1;
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        random_temporary_name(name);
        result = unnamed >= 0 ? link_unnamed(folder, unnamed, name)
                              : openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (result >= 0 || errno != EEXIST)
            break;
    }
    return result;
}

int link_at_fresh_name(int folder, int fd, char *name) {
    return at_fresh_name(folder, fd, name);
}

const char *named_temporary() {
    return temporary.name;
}

void keep_named_temporary() {
    temporary.name[0] = '\0';
}

int create_temporary(int folder, int *named) {
    *named = 0;
    temporary.folder = folder;
    temporary.name[0] = '\0';
#if defined(O_TMPFILE)
    // The unnamed file is linked in through /proc; without /proc it cannot be.
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
            return fd; // or the folder itself refuses: a named file would fare no better
    }
#endif
    // The name is recorded before any signal can see the file.
    sigset_t saved;
    hold_signals(&saved);
    install_cleanup();
    const int fd = at_fresh_name(folder, -1, temporary.name);
    const int error = errno;
    if (fd < 0)
        temporary.name[0] = '\0';
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (fd < 0) {
        forget_named_temporary();
        errno = error;
        return -1;
    }
    *named = 1;
    return fd;
}
