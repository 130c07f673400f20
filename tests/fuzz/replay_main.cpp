// SPDX-License-Identifier: GPL-3.0-or-later
// Runs fuzz inputs once each without libFuzzer, so that the kept regression
// inputs and the seeds are an ordinary test of every build, sanitized or not.
// Arguments: files or folders of inputs; it fails when it finds none.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

bool run_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    // Collected first: a target's set-up may change the current folder.
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path argument = std::filesystem::absolute(argv[i]);
        if (std::filesystem::is_directory(argument)) {
            for (const auto &entry : std::filesystem::directory_iterator(argument))
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                    inputs.push_back(entry.path());
        } else if (std::filesystem::exists(argument)) {
            inputs.push_back(argument);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    size_t ran = 0;
    for (const auto &input : inputs) {
        std::fprintf(stderr, "running %s\n", input.c_str());
        if (!run_file(input))
            return 1;
        ran++;
    }
    std::fprintf(stderr, "ran %zu inputs\n", ran);
    return ran == 0 ? 1 : 0;
}
