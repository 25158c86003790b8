// Preloaded into the converter (LD_PRELOAD) to stand for a file system
// without unnamed files: open() and openat() with O_TMPFILE fail as they do
// there, so the output faults run once more through the named temporary file.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>

using open_function = int (*)(const char *, int, ...);
using openat_function = int (*)(int, const char *, int, ...);

// O_TMPFILE includes O_DIRECTORY: test every bit of it.
static int refused(int flags) {
    if ((flags & O_TMPFILE) != O_TMPFILE)
        return 0;
    errno = EOPNOTSUPP;
    return 1;
}

static int refuse_or_open(const char *symbol, const char *path, int flags, va_list rest) {
    if (refused(flags))
        return -1;
    const auto real = reinterpret_cast<open_function>(dlsym(RTLD_NEXT, symbol));
    return real(path, flags, va_arg(rest, int)); // the mode, read whether used or not
}

static int refuse_or_openat(const char *symbol, int folder, const char *path, int flags,
                            va_list rest) {
    if (refused(flags))
        return -1;
    const auto real = reinterpret_cast<openat_function>(dlsym(RTLD_NEXT, symbol));
    return real(folder, path, flags, va_arg(rest, int));
}

extern "C" int open(const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = refuse_or_open("open", path, flags, rest);
    va_end(rest);
    return fd;
}

extern "C" int open64(const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = refuse_or_open("open64", path, flags, rest);
    va_end(rest);
    return fd;
}

extern "C" int openat(int folder, const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = refuse_or_openat("openat", folder, path, flags, rest);
    va_end(rest);
    return fd;
}

extern "C" int openat64(int folder, const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = refuse_or_openat("openat64", folder, path, flags, rest);
    va_end(rest);
    return fd;
}
