// Writing an uncompressed 32-bit TGA file with a TGA 2.0 footer.
#ifndef DXTC2TGA_TGA_TGA_WRITER_H
#define DXTC2TGA_TGA_TGA_WRITER_H

#include "common/image.h"

#include <cstdint>
#include <cstdio>

// Each returns 0 on success and 1 after showing why the write failed. Each
// flushes the stream before it returns, so a write that the file cannot take
// is reported by the writer whose bytes it was.

// Bytes in the TGA file of `img`: header, rows and footer.
std::uint64_t tga_file_size(const image *img);

// The 18-byte header: true-colour, 32 bits, eight alpha bits, origin lower left.
int write_tga_header(std::FILE *output, const image *img);

// The rows exactly as they lie in `img->pixels`, bottom row first, with one
// write request. Called once per band, from the bottom band up, it writes
// the image's rows one band after another.
int write_tga_image(std::FILE *output, const image *img);

// What a failed write of the footer shows, before ": " and the reason; the
// driver shows it too when the whole file cannot be put in place at the end.
constexpr char tga_footer_error[] = "Error writing TGA footer to output file";

// The 26-byte footer, then everything still buffered is flushed to the file.
int write_tga_footer(std::FILE *output);

#endif
