// Replays files through the fuzz target without libFuzzer, so that the seed
// corpus and every saved crash run as an ordinary test in every build.
//
//   fuzz_replay PATH...    each PATH a file, or a folder whose files are replayed
//
// A broken promise aborts inside the target, naming the promise; the
// sanitizers report their own findings the same way. Exit 0 means every file
// ran; 1 means a path could not be read or held no files.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

static bool replay_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "fuzz_replay: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(stderr, "fuzz_replay: cannot read %s\n", path.c_str());
        return false;
    }
    // Named first, so that a crash report follows the name of its file.
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

int main(int argc, char **argv) {
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        const std::filesystem::path path = argv[i];
        if (!std::filesystem::is_directory(path, error)) {
            ok = replay_file(path) && ok;
            ++replayed;
            continue;
        }
        // In name order, so a failure always comes from the same file first.
        std::vector<std::filesystem::path> files;
        for (const auto &entry : std::filesystem::directory_iterator(path, error))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        if (error || files.empty()) {
            std::fprintf(stderr, "fuzz_replay: no files in %s\n", path.c_str());
            ok = false;
        }
        std::sort(files.begin(), files.end());
        for (const auto &file : files) {
            ok = replay_file(file) && ok;
            ++replayed;
        }
    }
    std::printf("fuzz_replay: %d files replayed\n", replayed);
    return ok && replayed > 0 ? 0 : 1;
}
