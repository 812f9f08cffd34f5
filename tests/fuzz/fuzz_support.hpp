// Shared by the fuzz targets: each input runs as a fresh job whose messages go
// nowhere, and a parser may refuse its input through the fatal path (the
// Fatal exception), which is a correct outcome, never a finding.
#pragma once

#include "prg_lib.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

template <class Parse> void fuzz_guarded(Parse&& parse) {
    ProgramState state;
    const ProgramScope bind(state);
    try {
        parse();
    } catch (const Fatal&) {
    }
}

inline std::string fuzz_bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}
