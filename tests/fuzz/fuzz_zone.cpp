// Zone values (points, circles, rectangles, triangles, as exclusions or
// regions of interest) declared, then applied to a small binned image. The
// first byte picks the kind; mask files are left out (they name files).
#include "fuzz_support.hpp"
#include "xy_excl.hpp"

namespace {

IMG binned_image() {
    IMG img;
    img.x_min = 3;
    img.y_min = 2;
    img.x_max = 67;
    img.y_max = 50;
    img.x_bind = 2;
    img.y_bind = 3;
    img.nx = 32;
    img.ny = 16;
    img.size = img.nx * img.ny;
    img.frames = 2;
    img.data.assign(static_cast<size_t>(img.size), 5);
    img.frame.assign(static_cast<size_t>(img.size), 2);
    return img;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t kinds[] = {EXCL_POINT, EXCL_CIRCLE, EXCL_RECT, EXCL_TRIANGLE};
    const int32_t type = kinds[data[0] % 4] | (data[0] & 4 ? EXCL_ROI : 0);
    const std::string value = fuzz_bytes(data + 1, size - 1);
    ExclState excl;
    fuzz_guarded([&] {
        excl_ini(excl, type, value);
        IMG img = binned_image();
        excl_image(excl, {}, img, 0);
    });
    return 0;
}
