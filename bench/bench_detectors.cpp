// Times the summation of detector files beside the same frames in the native
// format, in one run: a stack of N frames stored as HDF5 with bitshuffle+LZ4
// (one chunk per frame) against one native file of the same unsigned 16-bit
// frames, and N CBF files against N native files of the same signed 32-bit
// frames. The data are generated once in ZBENCH_DIR (default
// /tmp/zbench_detectors); every measurement reads them from the page cache.
// Measurements alternate, and medians of wall-clock and processor time are
// printed with the ratios and the checksums of the sums.
//
// Usage: bench_detectors [frames] [side] [reps]      (defaults 100 2048 3)
#include "bench_clock.hpp"
#include "xy_lib.hpp"

#include <hdf5.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Params {
    int frames = 100;
    int side = 2048;
    int reps = 3;
    std::string dir;
};

// Photon-counting-like frames: a smooth background of a few counts, rings of
// tens of counts and noise from a fixed generator, so that they compress as
// detector frames do.
uint32_t next_random(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

std::vector<uint16_t> make_frame(int side, int f) {
    std::vector<uint16_t> px(static_cast<size_t>(side) * side);
    uint32_t state = 12345u + static_cast<uint32_t>(f);
    const int c = side / 2;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const int r2 = (x - c) * (x - c) + (y - c) * (y - c);
            const int ring = (r2 / 4096) % 7 == 0 ? 40 : 3;
            px[static_cast<size_t>(y) * side + x] = static_cast<uint16_t>(ring + next_random(state) % 8);
        }
    return px;
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp || std::fwrite(bytes.data(), 1, bytes.size(), fp) != bytes.size() || std::fclose(fp) != 0) {
        std::fprintf(stderr, "bench_detectors: cannot write %s\n", path.c_str());
        std::exit(2);
    }
}

std::string kvf_header(int side, int frames, const char* data_type, int bytes) {
    std::string h = "{\nHeaderID = EH:000001:000000:000000 ;\nByteOrder = LowByteFirst ;\n";
    h += std::string("DataType = ") + data_type + " ;\n";
    h += "Size = " + std::to_string(static_cast<long long>(side) * side * bytes) + " ;\n";
    h += "Dim_1 = " + std::to_string(side) + " ;\nDim_2 = " + std::to_string(side) + " ;\n";
    h += "Image = " + std::to_string(frames) + " ;\n";
    h.append(1024 - h.size() - 3, ' ');
    return h + "\n}\n";
}

template <class T> std::string raw_bytes(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// The byte-offset encoding of signed 32-bit pixels.
std::string byte_offset(const std::vector<int32_t>& px) {
    std::string out;
    int64_t previous = 0;
    auto put = [&](int64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xff);
    };
    for (int32_t v : px) {
        const int64_t d = v - previous;
        previous = v;
        if (d >= -127 && d <= 127) {
            put(d, 1);
        } else if (d >= -32767 && d <= 32767) {
            put(0x80, 1);
            put(d, 2);
        } else {
            put(0x80, 1);
            put(0x8000, 2);
            put(d, 4);
        }
    }
    return out;
}

std::string cbf_file(int side, const std::vector<int32_t>& px) {
    const std::string data = byte_offset(px);
    const std::string n = std::to_string(px.size());
    std::string f = "###CBF: VERSION 1.5\r\n\r\ndata_bench\r\n\r\n_array_data.data\r\n;\r\n"
                    "--CIF-BINARY-FORMAT-SECTION--\r\nContent-Type: application/octet-stream;\r\n"
                    "     conversions=\"x-CBF_BYTE_OFFSET\"\r\nContent-Transfer-Encoding: BINARY\r\n";
    f += "X-Binary-Size: " + std::to_string(data.size()) + "\r\nX-Binary-ID: 1\r\n";
    f += "X-Binary-Element-Type: \"signed 32-bit integer\"\r\nX-Binary-Element-Byte-Order: LITTLE_ENDIAN\r\n";
    f += "X-Binary-Number-of-Elements: " + n + "\r\n";
    f += "X-Binary-Size-Fastest-Dimension: " + std::to_string(side) + "\r\n";
    f += "X-Binary-Size-Second-Dimension: " + std::to_string(side) + "\r\n\r\n";
    f += std::string("\x0c\x1a\x04\xd5", 4) + data + std::string(4095, '\0');
    return f + "\r\n--CIF-BINARY-FORMAT-SECTION----\r\n;\r\n";
}

void write_hdf5(const std::string& path, const Params& p) {
    const hsize_t dims[3] = {hsize_t(p.frames), hsize_t(p.side), hsize_t(p.side)};
    const hsize_t chunk[3] = {1, hsize_t(p.side), hsize_t(p.side)};
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hid_t space = H5Screate_simple(3, dims, nullptr);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, 3, chunk);
    const unsigned cd[2] = {0, 2}; // the filter's block size, LZ4
    if (H5Pset_filter(dcpl, 32008, H5Z_FLAG_MANDATORY, 2, cd) < 0) {
        std::fprintf(stderr, "bench_detectors: the bitshuffle filter plugin is not installed\n");
        std::exit(2);
    }
    const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    const hid_t dset = H5Dcreate2(file, "/entry/data/data", H5T_STD_U16LE, space, lcpl, dcpl, H5P_DEFAULT);
    const hsize_t one[3] = {1, hsize_t(p.side), hsize_t(p.side)};
    const hid_t memory = H5Screate_simple(3, one, nullptr);
    for (int f = 0; f < p.frames; ++f) {
        const hsize_t start[3] = {hsize_t(f), 0, 0};
        H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, one, nullptr);
        H5Dwrite(dset, H5T_NATIVE_UINT16, memory, space, H5P_DEFAULT, make_frame(p.side, f).data());
    }
    H5Sclose(memory);
    H5Dclose(dset);
    H5Pclose(lcpl);
    H5Pclose(dcpl);
    H5Sclose(space);
    H5Fclose(file);
}

std::string series_name(const std::string& dir, const char* base, int n, const char* ext) {
    char num[16];
    std::snprintf(num, sizeof num, "%05d", n);
    return dir + "/" + base + num + ext;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void generate(const Params& p) {
    const std::string stamp = p.dir + "/done_" + std::to_string(p.frames) + "_" + std::to_string(p.side);
    if (exists(stamp)) return;
    std::printf("== generating %d frames of %d x %d in %s\n", p.frames, p.side, p.side, p.dir.c_str());
    std::fflush(stdout);
    std::string native = kvf_header(p.side, p.frames, "UnsignedShort", 2);
    for (int f = 0; f < p.frames; ++f) {
        const std::vector<uint16_t> px = make_frame(p.side, f);
        native += raw_bytes(px);
        const std::vector<int32_t> wide(px.begin(), px.end());
        write_bytes(series_name(p.dir, "cbf_", f + 1, ".cbf"), cbf_file(p.side, wide));
        write_bytes(series_name(p.dir, "nat_", f + 1, ".kvf"),
                    kvf_header(p.side, 1, "SignedInteger", 4) + raw_bytes(wide));
    }
    write_bytes(p.dir + "/stack16.kvf", native);
    write_hdf5(p.dir + "/stack16.h5", p);
    write_bytes(stamp, "");
}

struct Timing {
    double wall = 0, cpu = 0;
    long long checksum = 0;
};

// Sums the files named by `name_of(k)`, k = 1..files, as one series.
template <class NameOf> Timing sum_series(int files, NameOf name_of) {
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    IMG img;
    for (int k = 1; k <= files; ++k) {
        img.hdr = xy_open(name_of(k), "bench", "", 0, 1);
        xy_getsum(img, nullptr, 0, k == 1, 0);
    }
    const auto t1 = std::chrono::steady_clock::now();
    Timing t{std::chrono::duration<double>(t1 - t0).count(), cpu_seconds() - c0, 0};
    for (int32_t v : img.data)
        t.checksum += v;
    return t;
}

void cache(const std::string& path) {
    std::FILE* fp = std::fopen(path.c_str(), "rb");
    std::vector<char> buf(1 << 20);
    while (fp && std::fread(buf.data(), 1, buf.size(), fp) > 0) {
    }
    if (fp) std::fclose(fp);
}

} // namespace

int main(int argc, char** argv) {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    Params p;
    if (argc > 1) p.frames = std::atoi(argv[1]);
    if (argc > 2) p.side = std::atoi(argv[2]);
    if (argc > 3) p.reps = std::atoi(argv[3]);
    const char* dir = std::getenv("ZBENCH_DIR");
    p.dir = dir ? dir : "/tmp/zbench_detectors";
    if (p.frames < 1 || p.side < 16 || p.side > 65535 || p.reps < 1) {
        std::fprintf(stderr, "usage: bench_detectors [frames] [side] [reps]\n");
        return 2;
    }
    ::mkdir(p.dir.c_str(), 0755);
    generate(p);
    cache(p.dir + "/stack16.kvf");
    cache(p.dir + "/stack16.h5");
    for (int k = 1; k <= p.frames; ++k) {
        cache(series_name(p.dir, "cbf_", k, ".cbf"));
        cache(series_name(p.dir, "nat_", k, ".kvf"));
    }

    const char* labels[4] = {"native, one file of 16-bit frames", "HDF5 bitshuffle+LZ4, one chunk a frame",
                             "native, one 32-bit file a frame", "CBF byte offset, one file a frame"};
    std::vector<double> wall[4], cpu[4];
    long long checksum[4] = {};
    for (int rep = 0; rep < p.reps; ++rep) {
        const Timing t[4] = {
            sum_series(1, [&](int) { return p.dir + "/stack16.kvf"; }),
            sum_series(1, [&](int) { return p.dir + "/stack16.h5"; }),
            sum_series(p.frames, [&](int k) { return series_name(p.dir, "nat_", k, ".kvf"); }),
            sum_series(p.frames, [&](int k) { return series_name(p.dir, "cbf_", k, ".cbf"); }),
        };
        for (int i = 0; i < 4; ++i) {
            wall[i].push_back(t[i].wall);
            cpu[i].push_back(t[i].cpu);
            checksum[i] = t[i].checksum;
        }
    }
    std::printf("== summation of %d frames of %d x %d, median of %d runs\n", p.frames, p.side, p.side,
                p.reps);
    for (int i = 0; i < 4; ++i)
        std::printf("%-42s wall %7.3f s  processor %7.3f s  checksum %lld\n", labels[i], median(wall[i]),
                    median(cpu[i]), checksum[i]);
    std::printf("HDF5 / native:  %.2f x wall, %.2f x processor (target at most 2); sums %s\n",
                median(wall[1]) / median(wall[0]), median(cpu[1]) / median(cpu[0]),
                checksum[0] == checksum[1] ? "equal" : "DIFFER");
    std::printf("CBF / native:   %.2f x wall, %.2f x processor (target at most 2); sums %s\n",
                median(wall[3]) / median(wall[2]), median(cpu[3]) / median(cpu[2]),
                checksum[2] == checksum[3] ? "equal" : "DIFFER");
    return 0;
}
