// Settings file lines through the whole settings chain. Lines that would open,
// create or redirect files (FILE, LOG, STDIN, SPEC) are left out: they reach
// the file system, which is not the parser under test.
#include "fuzz_support.hpp"
#include "zd_settings.hpp"

#include <cstdio>

namespace {

bool touches_files(const std::string& line) {
    if (line.find("FILE") != std::string::npos || line.find("LOG") != std::string::npos ||
        line.find("STDIN") != std::string::npos)
        return true;
    for (size_t at = line.find("SPEC"); at != std::string::npos; at = line.find("SPEC", at + 1))
        if (at + 4 >= line.size() || line[at + 4] != '_') return true;
    return false;
}

std::string without_file_lines(const std::string& text) {
    std::string kept;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        if (!touches_files(line)) kept += line;
        start = end;
    }
    return kept;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = without_file_lines(fuzz_bytes(data, size));
    if (text.empty()) return 0;
    std::FILE* fp = fmemopen(text.data(), text.size(), "rb");
    if (!fp) return 0;
    run = RunSettings{};
    fuzz_guarded([&] { parameter(fp); });
    std::fclose(fp);
    return 0;
}
