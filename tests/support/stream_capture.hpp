// Captures what code writes to a stdio stream, for tests of printers.
#pragma once

#include <cstdio>
#include <string>

namespace zt {

// Everything written to `fp` so far (the stream is rewound first).
inline std::string read_stream(std::FILE* fp) {
    std::fflush(fp);
    std::rewind(fp);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0)
        text.append(buf, n);
    return text;
}

// Runs `write(stream)` on a temporary stream and returns what it wrote.
template <class Write> std::string written_by(Write write) {
    std::FILE* fp = std::tmpfile();
    if (!fp) return std::string();
    write(fp);
    std::string text = read_stream(fp);
    std::fclose(fp);
    return text;
}

} // namespace zt
