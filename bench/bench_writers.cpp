// Times the interchange writers beside their yardsticks, in one run, on one
// 2048 x 2048 working image: writing it as a signed 32-bit TIFF and as an
// uncompressed NeXus/HDF5 file against reading the native file of the same
// image, and writing it as gzip (or bitshuffle+LZ4) HDF5 against libhdf5
// writing the same array with the same filters and chunks directly (zandor
// compresses the chunks on the default thread count, ZANDOR_THREADS or the
// processors it may use). Files go to ZBENCH_DIR (default /tmp/zbench_writers). Measurements alternate; the
// medians of the wall-clock times are printed with their ratios.
//
// Usage: bench_writers [side] [reps]      (defaults 2048 7)
#include "bench_clock.hpp"
#include "kvf_lib.hpp"
#include "nexus_writer.hpp"
#include "tif_writer.hpp"
#include "xy_threads.hpp"

#include <hdf5.h>
#include <malloc.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// A detector-like image: a few hundred counts, rings, noise, and one pixel in
// 500 without any frame counted (module gaps).
IMG make_image(int side) {
    IMG img;
    img.nx = img.ny = side;
    img.size = side * side;
    img.name = "bench.kvf";
    uint32_t state = 12345u;
    const int c = side / 2;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            state = state * 1664525u + 1013904223u;
            const int r2 = (x - c) * (x - c) + (y - c) * (y - c);
            img.data.push_back(((r2 / 4096) % 7 == 0 ? 4000 : 300) + static_cast<int32_t>((state >> 8) % 64));
            img.frame.push_back(static_cast<uint16_t>((state >> 4) % 500 == 0 ? 0 : 10));
        }
    return img;
}

// Reading the native file as a run reads an image: open, then sum its frame.
void read_native(const std::string& name) {
    IMG img;
    img.hdr = xy_open(name, "bench", "", 0, true);
    xy_getsum(img, nullptr, 0, true, false);
}

// libhdf5 alone: the marked values in one dataset, with the writer's filters
// and chunks (rows of 1 MiB).
void write_direct(const std::string& name, const IMG& img, XyCompression c) {
    std::vector<int32_t> values = img.data;
    for (size_t i = 0; i < values.size(); ++i)
        if (img.frame[i] == 0) values[i] = -1;
    const hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t dims[2] = {static_cast<hsize_t>(img.ny), static_cast<hsize_t>(img.nx)};
    const hsize_t chunk[2] = {static_cast<hsize_t>((1 << 20) / (4 * img.nx)), dims[1]};
    const hid_t space = H5Screate_simple(2, dims, nullptr);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, 2, chunk);
    if (c == XyCompression::gzip) {
        H5Pset_shuffle(dcpl);
        H5Pset_deflate(dcpl, 4);
    } else {
        const unsigned cd[2] = {0, 2}; // default block size, LZ4
        H5Pset_filter(dcpl, 32008, H5Z_FLAG_MANDATORY, 2, cd);
    }
    const hid_t dset = H5Dcreate2(file, "data", H5T_STD_I32LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    if (H5Dwrite(dset, H5T_NATIVE_INT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0) std::exit(2);
    H5Dclose(dset);
    H5Pclose(dcpl);
    H5Sclose(space);
    H5Fclose(file);
}

// One timed step; the file it writes, when named, is removed before each
// run, outside the timing.
struct Measure {
    const char* what;
    std::string output;
    std::function<void(const std::string& output)> run;
    std::vector<double> seconds;
};

} // namespace

int main(int argc, char** argv) {
    // Freed memory stays with the process, to be reused by the next step:
    // otherwise glibc's threshold for mapping large blocks moves with what
    // the step before freed, and a step faults in fresh pages or not by
    // chance (reading the native file took 14 or 40 ms that way).
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    const int side = argc > 1 ? std::atoi(argv[1]) : 2048;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 7;
    const char* env = std::getenv("ZBENCH_DIR");
    const std::string dir = env ? env : "/tmp/zbench_writers";
    ::mkdir(dir.c_str(), 0755);
    ProgramState state; // the writers' report lines go to no sink
    const ProgramScope bind(state);
    const IMG img = make_image(side);
    kvf_write(img, dir + "/native.kvf", XY_TYPE_INT32);
    XyWriteOptions none, gzip, bslz4;
    none.h5_compression = XyCompression::none;
    gzip.h5_compression = XyCompression::gzip;
    bslz4.h5_compression = XyCompression::bitshuffle_lz4;
    const int32_t threads = xy_default_threads();
    for (XyWriteOptions* o : {&none, &gzip, &bslz4})
        o->threads = threads;
    const bool have_bslz4 = H5Zfilter_avail(32008) > 0;
    const auto nexus = [](const IMG& image, const XyWriteOptions& options) {
        return [&image, options](const std::string& out) { nexus_write(image, out, options); };
    };
    const auto direct = [&img](XyCompression c) {
        return [&img, c](const std::string& out) { write_direct(out, img, c); };
    };
    const auto tif = [&img](const std::string& out) { tif_write_values(img, out, XySampleType::int32); };
    std::vector<Measure> m = {
        {"read native", "", [&](const std::string&) { read_native(dir + "/native.kvf"); }, {}},
        {"write int32 tif", dir + "/out.tif", tif, {}},
        {"write h5 uncompressed", dir + "/none.h5", nexus(img, none), {}},
        {"write h5 gzip", dir + "/gzip.h5", nexus(img, gzip), {}},
        {"libhdf5 gzip directly", dir + "/gzip_direct.h5", direct(XyCompression::gzip), {}},
    };
    if (have_bslz4) {
        m.push_back({"write h5 bslz4", dir + "/bslz4.h5", nexus(img, bslz4), {}});
        m.push_back(
            {"libhdf5 bslz4 directly", dir + "/bslz4_direct.h5", direct(XyCompression::bitshuffle_lz4), {}});
    }
    // REPLACE=1 keeps the files of the round before: each write then replaces one.
    const bool replace = std::getenv("REPLACE") != nullptr;
    for (int r = 0; r < reps + 1; ++r)
        for (Measure& x : m) {
            if (!replace && !x.output.empty()) std::remove(x.output.c_str());
            const double t0 = wall_seconds();
            x.run(x.output);
            if (r > 0) x.seconds.push_back(wall_seconds() - t0); // the first round warms the caches
        }
    std::printf("bench_writers: %d x %d int32 image, median of %d, wall-clock ms, %s, %d threads\n", side,
                side, reps, replace ? "each file replacing the one before" : "new files", threads);
    for (const Measure& x : m)
        std::printf("  %-24s %8.1f\n", x.what, 1e3 * median(x.seconds));
    const double native = median(m[0].seconds);
    std::printf("  int32 tif / read native       %5.2f  (goal <= 2)\n", median(m[1].seconds) / native);
    std::printf("  h5 uncompressed / read native %5.2f  (goal <= 2)\n", median(m[2].seconds) / native);
    std::printf("  h5 gzip / libhdf5 gzip        %5.2f  (goal <= 1.2)\n",
                median(m[3].seconds) / median(m[4].seconds));
    if (have_bslz4)
        std::printf("  h5 bslz4 / libhdf5 bslz4      %5.2f  (goal <= 1.2)\n",
                    median(m[5].seconds) / median(m[6].seconds));
    return 0;
}
