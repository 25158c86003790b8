// The two write floors bench/compare measures a converter against.
//
//     write_floor pure OUTPUT BYTES
//     write_floor buffer OUTPUT BYTES
//
// pure: writes BYTES to OUTPUT with plain 1 MiB write() calls from one
// buffer, used again and again, on a file opened with open(): the file and
// nothing else, the least a program that writes without preallocating can
// do (stdio's 64 KiB fwrite is itself about 1.6 times slower).
// buffer: allocates a buffer of BYTES, touches every byte of it and writes it
// with one request: the least a converter that holds the whole image in
// memory can do. The difference between the two is the cost of getting that
// much fresh memory from the system (page faults and zeroing), nothing more.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const std::size_t small_buffer = 1024 * 1024;

// Writes SIZE bytes in requests of CHUNK bytes, each from the start of DATA;
// a request the system takes in part is continued.
int write_all(const char *name, const unsigned char *data, std::size_t chunk, std::size_t size) {
    const int output = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (output < 0) {
        std::perror("write_floor: open");
        return 1;
    }
    for (std::size_t at = 0; at < size;) {
        const std::size_t room = chunk - at % chunk; // to the end of DATA
        const std::size_t length = size - at < room ? size - at : room;
        const ssize_t written = write(output, data + at % chunk, length);
        if (written <= 0) {
            std::perror("write_floor: write");
            return 1;
        }
        at += static_cast<std::size_t>(written);
    }
    if (close(output) != 0) {
        std::perror("write_floor: close");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const bool pure = argc == 4 && std::strcmp(argv[1], "pure") == 0;
    const bool buffer = argc == 4 && std::strcmp(argv[1], "buffer") == 0;
    if (!pure && !buffer) {
        std::fprintf(stderr, "usage: write_floor pure|buffer OUTPUT BYTES\n");
        return 2;
    }
    const std::size_t size = std::strtoull(argv[3], nullptr, 10);
    if (size == 0) {
        std::fprintf(stderr, "write_floor: bad size\n");
        return 2;
    }
    if (pure) {
        static unsigned char chunk[small_buffer];
        std::memset(chunk, 0x5A, sizeof chunk);
        return write_all(argv[2], chunk, size < sizeof chunk ? size : sizeof chunk, size);
    }
    unsigned char *data = static_cast<unsigned char *>(std::malloc(size));
    if (data == nullptr) {
        std::perror("write_floor: malloc");
        return 1;
    }
    std::memset(data, 0x5A, size);
    const int status = write_all(argv[2], data, size, size);
    std::free(data);
    return status;
}
