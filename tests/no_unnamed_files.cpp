// Preloaded into the converter (LD_PRELOAD) to stand for a file system
// without unnamed files: open() with O_TMPFILE fails as it does there, so
// the output faults run once more through the named temporary file.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>

using open_function = int (*)(const char *, int, ...);

static int refuse_or_open(const char *symbol, const char *path, int flags, va_list rest) {
    // O_TMPFILE includes O_DIRECTORY: test every bit of it.
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const auto real = reinterpret_cast<open_function>(dlsym(RTLD_NEXT, symbol));
    return real(path, flags, va_arg(rest, int)); // the mode, read whether used or not
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
