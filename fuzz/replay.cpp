// Runs a fuzz target without libFuzzer: every file named on the command line (or found in a named
// directory) is fed to the target, then truncated and byte-flipped variants of it, so the normal and
// the sanitizer builds replay the corpus and every input that once failed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

void feed(const std::vector<uint8_t> &bytes)
{
    // A copy of exactly the input's size, so reading past its end is a sanitizer finding.
    std::vector<uint8_t> copy(bytes);
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

void variants(const std::vector<uint8_t> &bytes, uint32_t seed)
{
    feed(bytes);
    for (size_t cut : {size_t(0), size_t(1), bytes.size() / 3, bytes.size() / 2, bytes.size() - 1}) {
        if (cut < bytes.size())
            feed(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    }
    uint32_t state = seed * 2654435761u + 1;
    for (int round = 0; round < 16 && !bytes.empty(); ++round) {
        std::vector<uint8_t> flipped(bytes);
        for (int k = 0; k < 4; ++k) {
            state = state * 1664525u + 1013904223u;
            const size_t at = state % flipped.size();
            static const uint8_t nasty[] = {0, '\r', '\n', '?', ',', '"', 0xff, 0xc3, '9', ' ', '-', '.'};
            flipped[at] = (state >> 16) & 1 ? nasty[(state >> 20) % sizeof nasty] : uint8_t(state >> 24);
        }
        feed(flipped);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file() && e.path().filename().string().front() != '.')
                    files.push_back(e.path());
        } else if (std::filesystem::is_regular_file(p)) {
            files.push_back(p);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 1;
    }
    uint32_t seed = 1;
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        variants(bytes, seed++);
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
