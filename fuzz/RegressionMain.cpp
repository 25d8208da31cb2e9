// Runs a fuzz harness over every file of the directories named on the command
// line, as an ordinary test: each file is one input to LLVMFuzzerTestOneInput. A
// harness reports a failure by crashing; the runner also fails when the process's
// peak memory grows past --max-rss-mb (a model that asks for gigabytes is a fault
// even where the allocation succeeds).
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

long peakRssMb() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024; // kilobytes on Linux
}

} // namespace

int main(int argc, char** argv) {
    long maxRssMb = 0;
    std::vector<std::filesystem::path> files;
    for (int a = 1; a < argc; ++a) {
        if (std::strncmp(argv[a], "--max-rss-mb=", 13) == 0) {
            maxRssMb = std::atol(argv[a] + 13);
            continue;
        }
        std::error_code error;
        if (!std::filesystem::exists(argv[a], error))
            continue; // a harness that never failed has no regressions yet
        for (const auto& entry : std::filesystem::directory_iterator(argv[a], error))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        if (error) {
            std::fprintf(stderr, "cannot read %s: %s\n", argv[a], error.message().c_str());
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
        std::fprintf(stderr, "input %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        if (maxRssMb > 0 && peakRssMb() > maxRssMb) {
            std::fprintf(stderr, "%s: peak memory %ld MB, more than %ld MB\n", file.c_str(),
                         peakRssMb(), maxRssMb);
            return 1;
        }
    }
    std::fprintf(stderr, "%zu inputs passed\n", files.size());
    return 0;
}
