// Streaming on POSIX: the input's size and place, and hints to the kernel.
#include "driver/platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

int platform_input_size(std::FILE *input, std::uint64_t *size) {
    struct stat status;
    if (fstat(fileno(input), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0)
        return 0;
    *size = static_cast<std::uint64_t>(status.st_size);
    return 1;
}

int platform_seek_input(std::FILE *input, std::uint64_t offset) {
    const off_t place = static_cast<off_t>(offset);
    if (place < 0 || static_cast<std::uint64_t>(place) != offset) {
        errno = EOVERFLOW;
        return -1;
    }
    return fseeko(input, place, SEEK_SET);
}

void platform_advise_input(std::FILE *input, std::uint64_t offset, std::uint64_t length) {
#if defined(POSIX_FADV_WILLNEED)
    posix_fadvise(fileno(input), static_cast<off_t>(offset), static_cast<off_t>(length),
                  POSIX_FADV_WILLNEED);
#else
    (void)input, (void)offset, (void)length;
#endif
}

void platform_reserve_output(std::FILE *output, std::uint64_t size) {
#if defined(FALLOC_FL_KEEP_SIZE)
    // The blocks are allocated beyond the end of the file, which keeps its
    // size: a file written in place shows only what was written, and a
    // size limit is met by the write that crosses it, as without the hint.
    fallocate(fileno(output), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
#else
    (void)output, (void)size;
#endif
}

// A write that stops short here says why itself (errno).
void platform_prepare_output_write() {}
