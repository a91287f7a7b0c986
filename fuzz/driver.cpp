// A plain driver for a fuzz harness, built with the ordinary compiler: every file of the corpus
// folders given, then random inputs from a fixed seed (half of them corpus files with a few bytes
// changed, half of them random bytes), each through LLVMFuzzerTestOneInput. A harness that finds
// a fault aborts, which fails the run.
//   <harness>_plain [--random N] [--seed S] [--max-len L] CORPUS_DIR_OR_FILE...

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void run(const Bytes& input)
{
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
}

} // namespace

int main(int argc, char** argv)
{
    long randomInputs = 0;
    unsigned long seed = 1;
    size_t maxLen = 512;
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--random" || arg == "--seed" || arg == "--max-len") && i + 1 < argc) {
            const unsigned long value = std::strtoul(argv[++i], nullptr, 10);
            if (arg == "--random") randomInputs = static_cast<long>(value);
            else if (arg == "--seed") seed = value;
            else maxLen = std::max<size_t>(1, value);
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(arg)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "%s: no such corpus file or folder: %s\n", argv[0], arg.c_str());
            return 2;
        }
    }
    std::sort(files.begin(), files.end()); // the same order on every machine

    std::vector<Bytes> corpus;
    for (const auto& path : files) {
        corpus.push_back(readFile(path));
        run(corpus.back());
    }
    std::mt19937_64 random(seed);
    for (long n = 0; n < randomInputs; ++n) {
        Bytes input;
        if (!corpus.empty() && (n & 1)) {
            input = corpus[random() % corpus.size()];
            const int changes = 1 + static_cast<int>(random() % 8);
            for (int c = 0; c < changes; ++c) {
                const size_t at = input.empty() ? 0 : random() % (input.size() + 1);
                switch (random() % 3) {
                case 0: if (at < input.size()) input[at] = static_cast<uint8_t>(random()); break;
                case 1: input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(random())); break;
                default: if (at < input.size()) input.erase(input.begin() + static_cast<std::ptrdiff_t>(at)); break;
                }
            }
        } else {
            input.resize(random() % (maxLen + 1));
            for (uint8_t& b : input) b = static_cast<uint8_t>(random());
        }
        run(input);
    }
    std::printf("%s: %zu corpus files and %ld random inputs, no finding\n", argv[0], corpus.size(), randomInputs);
    return 0;
}
