// Bits of the PRINT setting: which optional printouts a run makes.
#pragma once

#include <cstdint>

enum : int32_t {
    PRINT_CORRECTIONS = 0x1,     // correction counts and summaries of each image
    PRINT_INFO = 0x4,            // information blocks; frames used and saturated pixels of a sum
    PRINT_FILE_HEADER = 0x10,    // the header list of each file read
    PRINT_VALUE_DUMP = 0x20,     // pixel values after the corrections ("#R"), small images only
    PRINT_COSMIC_DETAILS = 0x40, // every cosmic-ray hit, in the cosmic-ray report
    PRINT_CORRECTED_DUMP = 0x80, // pixel values after rescaling or spatial removal ("#C")
    PRINT_SUM_DUMP = 0x100,      // frame sums and statistics ("#T(N)", "#M(S)"), one line per frame
    PRINT_RAW_DUMP = 0x200,      // raw values of every frame read
    PRINT_DEFAULT = 0x7,
    // Any of these makes an acquisition open a cosmic-ray report file.
    PRINT_COSMIC_REPORT = PRINT_COSMIC_DETAILS | PRINT_CORRECTED_DUMP | PRINT_SUM_DUMP,
};
