// Runs a fuzz target's entry point once over every file of the directories
// (or files) named on the command line, without libFuzzer: the seed corpus
// replayed as an ordinary test in every build. Prints one line per target.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy exactly as long as the input, as libFuzzer hands it over.
    std::vector<uint8_t> exact(data);
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            std::vector<std::filesystem::path> files;
            for (const auto& e : std::filesystem::directory_iterator(p)) files.push_back(e.path());
            std::sort(files.begin(), files.end());
            for (const auto& f : files) runs += RunFile(f);
        } else {
            runs += RunFile(p);
        }
    }
    if (runs == 0) {
        std::fprintf(stderr, "no input replayed\n");
        return 1;
    }
    std::printf("%d inputs replayed\n", runs);
    return 0;
}
