// The decoder on its own: decode_block over a grid of blocks already in
// memory, decode_image on one band of a wide image, and read_image_data and decode_image from a
// stream, for each kind of block, random and from the generated picture. Counters: pixels a second
// (items_per_second) and nanoseconds per block or per pixel.
#include "bench_texture.h"
#include "dds/dds_reader.h"
#include "dds/dxtc.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace {

const std::uint32_t codes[] = {fourcc_dxt1, fourcc_dxt3, fourcc_dxt5};

bytes blocks_for(std::uint32_t code, bool picture, int side) {
    const std::size_t count = static_cast<std::size_t>(side / 4) * (side / 4);
    return picture ? encode_picture(make_picture(side, side), side, side, code)
                   : random_blocks(count, code, 1);
}

// Items a second are pixels; the counter `name` is nanoseconds per `unit`
// pixels (16 for a block, 1 for a pixel).
void count_pixels(benchmark::State &state, double pixels, const char *name, double unit) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(pixels));
    state.counters[name] = benchmark::Counter(
        pixels / unit, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// decode_block over a side x side grid: range(0) is the kind, range(1) 1 for
// the picture's blocks and 0 for random ones, range(2) the side.
void decode_block_grid(benchmark::State &state) {
    const std::uint32_t code = codes[state.range(0)];
    const int side = static_cast<int>(state.range(2));
    const bytes blocks = blocks_for(code, state.range(1) != 0, side);
    const std::size_t size = block_size_of(code);
    std::vector<pixel> pixels(static_cast<std::size_t>(side) * side);
    image img = {side, side, pixels.data(), code};
    for (auto _ : state) {
        const unsigned char *block = blocks.data();
        for (int y = 0; y < side; y += 4)
            for (int x = 0; x < side; x += 4, block += size)
                decode_block(block, &img, &pixels[static_cast<std::size_t>(y) * side + x], side);
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    count_pixels(state, static_cast<double>(side) * side, "ns_per_block", 16);
}

// read_image_data and decode_image from a temporary file: reading, grid walk
// and decoding.
// range(0) the kind, range(1) the side.
void decode_image_from_file(benchmark::State &state) {
    const std::uint32_t code = codes[state.range(0)];
    const int side = static_cast<int>(state.range(1));
    const bytes blocks = blocks_for(code, true, side);
    std::FILE *input = std::tmpfile();
    if (input == nullptr || std::fwrite(blocks.data(), 1, blocks.size(), input) != blocks.size()) {
        state.SkipWithError("cannot write the temporary file");
        return;
    }
    std::vector<pixel> pixels(static_cast<std::size_t>(side) * side);
    image img = {side, side, pixels.data(), code};
    bytes data(blocks.size());
    for (auto _ : state) {
        std::rewind(input);
        if (read_image_data(input, &img, data.data()) != 0) {
            state.SkipWithError("read_image_data failed");
            break;
        }
        decode_image(data.data(), &img);
        benchmark::DoNotOptimize(pixels.data());
    }
    std::fclose(input);
    count_pixels(state, static_cast<double>(side) * side, "ns_per_pixel", 1);
}

// decode_image on one band of an image 8192 pixels wide, 8 high (256 KiB of
// pixels, which stay in the second-level cache; the converter's bands are 32
// high at this width): range(0) the kind, range(1) 1 for the picture's
// blocks and 0 for random ones.
void decode_band(benchmark::State &state) {
    const std::uint32_t code = codes[state.range(0)];
    const int width = 8192, height = 8;
    const bytes blocks = state.range(1) != 0
                             ? encode_picture(make_picture(width, height), width, height, code)
                             : random_blocks(width / 4 * (height / 4), code, 1);
    std::vector<pixel> pixels(static_cast<std::size_t>(width) * height);
    image img = {width, height, pixels.data(), code};
    for (auto _ : state) {
        decode_image(blocks.data(), &img);
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    count_pixels(state, static_cast<double>(width) * height, "ns_per_block", 16);
}

void kinds_and_blocks(benchmark::internal::Benchmark *b) {
    b->ArgNames({"kind", "picture", "side"});
    for (int kind = 0; kind < 3; ++kind)
        for (int picture = 0; picture < 2; ++picture)
            for (int side : {16, 512})
                b->Args({kind, picture, side});
}

void kinds_and_sides(benchmark::internal::Benchmark *b) {
    b->ArgNames({"kind", "side"});
    for (int kind = 0; kind < 3; ++kind)
        for (int side : {16, 256, 1024, 4096})
            b->Args({kind, side});
}

} // namespace

BENCHMARK(decode_block_grid)->Apply(kinds_and_blocks);
BENCHMARK(decode_band)->ArgsProduct({{0, 1, 2}, {0, 1}})->ArgNames({"kind", "picture"});
BENCHMARK(decode_image_from_file)->Apply(kinds_and_sides)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
