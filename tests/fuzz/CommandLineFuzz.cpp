// libFuzzer target for the command-line parser: the input is split at NUL bytes into words.
// Whatever the words, the parser returns options that keep its promises, or a usage error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back().push_back(static_cast<char>(data[i]));
        }
    }
    const pellorin::cli::ParseResult result = pellorin::cli::ParseCommandLine(words);
    if (!result.ok) {
        if (result.error.empty()) std::abort();
        return 0;
    }
    const pellorin::cli::Options& options = result.options;
    if (options.command == pellorin::cli::Command::Update) {
        if (options.ports.empty()) std::abort();
        if (options.images.size() != 1 && options.images.size() != options.ports.size())
            std::abort();
        for (std::size_t i = 0; i < options.ports.size(); ++i) {
            if (options.ImageFor(i).empty()) std::abort();
            for (std::size_t j = 0; j < i; ++j) {
                if (pellorin::cli::SamePortName(options.ports[i], options.ports[j])) std::abort();
            }
        }
        if (options.SpeedIndex() < 0 || options.SpeedIndex() > 3) std::abort();
    }
    if (options.command == pellorin::cli::Command::Check && options.images.size() != 1)
        std::abort();
    return 0;
}
