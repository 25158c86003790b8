// The write floor: the least any converter producing a file of this size must
// do. Allocates a buffer of the given size, touches every byte of it and writes
// it to a file, either with one write request or with one per row.
//
//     write_floor OUTPUT BYTES [ROW_BYTES]
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: write_floor OUTPUT BYTES [ROW_BYTES]\n");
        return 2;
    }
    const std::size_t size = std::strtoull(argv[2], nullptr, 10);
    std::size_t row = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : size;
    if (size == 0 || row == 0 || row > size) {
        std::fprintf(stderr, "write_floor: bad sizes\n");
        return 2;
    }
    unsigned char *buffer = static_cast<unsigned char *>(std::malloc(size));
    if (buffer == nullptr) {
        std::perror("write_floor: malloc");
        return 1;
    }
    std::memset(buffer, 0x5A, size);
    std::FILE *output = std::fopen(argv[1], "wb");
    if (output == nullptr) {
        std::perror("write_floor: fopen");
        return 1;
    }
    for (std::size_t at = 0; at < size; at += row) {
        const std::size_t length = size - at < row ? size - at : row;
        if (std::fwrite(buffer + at, 1, length, output) != length) {
            std::perror("write_floor: fwrite");
            return 1;
        }
    }
    if (std::fclose(output) != 0) {
        std::perror("write_floor: fclose");
        return 1;
    }
    std::free(buffer);
    return 0;
}
