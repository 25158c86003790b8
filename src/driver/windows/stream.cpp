// Streaming on Windows: the input's size and place, and the output's space.
#include "driver/platform.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <io.h>

// The handle under a stream, when it is a file on a disk.
static HANDLE disk_file_of(std::FILE *stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK)
        return INVALID_HANDLE_VALUE;
    return handle;
}

int platform_input_size(std::FILE *input, std::uint64_t *size) {
    if (disk_file_of(input) == INVALID_HANDLE_VALUE)
        return 0;
    const __int64 length = _filelengthi64(_fileno(input));
    if (length < 0)
        return 0;
    *size = static_cast<std::uint64_t>(length);
    return 1;
}

int platform_seek_input(std::FILE *input, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    return _fseeki64(input, static_cast<__int64>(offset), SEEK_SET);
}

// Windows reads ahead on its own a file read in large requests.
void platform_advise_input(std::FILE *, std::uint64_t, std::uint64_t) {}

void platform_prepare_output_write() {
    // The only error a write that is accepted short can mean.
    SetLastError(ERROR_DISK_FULL);
}

void platform_reserve_output(std::FILE *output, std::uint64_t size) {
    const HANDLE handle = disk_file_of(output);
    if (handle == INVALID_HANDLE_VALUE || size > static_cast<std::uint64_t>(INT64_MAX))
        return;
    // The allocation size: the clusters set aside, not the end of the file.
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation);
}
