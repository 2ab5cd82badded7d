// Replays corpus folders through a fuzz target without the fuzzer, so that a build with any
// compiler (and the sanitizer build) checks every kept input: each file of each folder given on
// the command line, in name order, is passed to LLVMFuzzerTestOneInput once. A fault aborts.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::size_t replayed = 0;
    for (int argument = 1; argument < argc; ++argument) {
        std::vector<fs::path> inputs;
        for (const auto& entry : fs::directory_iterator(argv[argument]))
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
        if (inputs.empty()) {
            std::fprintf(stderr, "%s: no inputs to replay\n", argv[argument]);
            return 1;
        }
        std::sort(inputs.begin(), inputs.end());
        for (const fs::path& input : inputs) {
            std::ifstream stream(input, std::ios::binary);
            const std::vector<char> bytes(std::istreambuf_iterator<char>(stream), {});
            std::fprintf(stderr, "replaying %s\n", input.c_str());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return 0;
}
