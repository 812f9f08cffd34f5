// Image words: name[,Bb][,Ee][,Aa|,Mm][,Uu][,X].
#include "fuzz_support.hpp"
#include "xy_lib.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string word = fuzz_bytes(data, size);
    IMG img;
    SeriesName series;
    fuzz_guarded([&] {
        xy_rep_name(word, img, series);
        if (series.count > 0 && series.count < 4) {
            for (int32_t k = 0; k < series.count; ++k)
                xy_cur_name("dir", series.base, series.ext, series.ndig, series.num + k);
        }
    });
    return 0;
}
