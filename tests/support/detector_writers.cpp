#include "detector_writers.hpp"

#include <gtest/gtest.h>

#include <cbflib/cbf.h>
#include <hdf5.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zt {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test writer: ") + what);
}

hid_t file_type(H5Pixel p) {
    switch (p) {
    case H5Pixel::U8:
        return H5T_STD_U8LE;
    case H5Pixel::I8:
        return H5T_STD_I8LE;
    case H5Pixel::U16:
        return H5T_STD_U16LE;
    case H5Pixel::I16:
        return H5T_STD_I16LE;
    case H5Pixel::U32:
        return H5T_STD_U32LE;
    case H5Pixel::I32:
        return H5T_STD_I32BE; // stored big-endian: the library converts on reading
    case H5Pixel::F32:
        return H5T_IEEE_F32LE;
    case H5Pixel::F64:
        return H5T_IEEE_F64LE;
    case H5Pixel::I64:
        return H5T_STD_I64LE;
    }
    return H5T_STD_U16LE;
}

// Link creation that makes the groups along a path.
hid_t intermediate_groups() {
    const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    return lcpl;
}

void set_filter(hid_t dcpl, const H5Dataset& d) {
    switch (d.filter) {
    case H5Filter::None:
        break;
    case H5Filter::Gzip:
        check(H5Pset_deflate(dcpl, 4) >= 0, "deflate");
        break;
    case H5Filter::Lz4:
        check(H5Pset_filter(dcpl, 32004, H5Z_FLAG_MANDATORY, 0, nullptr) >= 0, "lz4 filter");
        break;
    case H5Filter::BitshuffleLz4: {
        // The filter puts its version and the element size first; ours are
        // the block size (0: the filter's choice) and 2, LZ4 after the shuffle.
        const unsigned cd[2] = {d.bitshuffle_block, 2};
        check(H5Pset_filter(dcpl, 32008, H5Z_FLAG_MANDATORY, 2, cd) >= 0, "bitshuffle filter");
        break;
    }
    }
}

} // namespace

H5File::H5File(const std::string& path, uint64_t user_block) {
    const hid_t fcpl = H5Pcreate(H5P_FILE_CREATE);
    check(H5Pset_userblock(fcpl, user_block) >= 0, "H5Pset_userblock");
    file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, fcpl, H5P_DEFAULT);
    H5Pclose(fcpl);
    check(file_ >= 0, "H5Fcreate");
}

H5File::~H5File() {
    H5Fclose(file_);
}

void H5File::dataset(const H5Dataset& d) {
    std::vector<hsize_t> dims(d.dims.begin(), d.dims.end());
    const hid_t space = H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    if (!d.chunk.empty()) {
        std::vector<hsize_t> chunk(d.chunk.begin(), d.chunk.end());
        H5Pset_chunk(dcpl, static_cast<int>(chunk.size()), chunk.data());
        set_filter(dcpl, d);
    }
    const hid_t lcpl = intermediate_groups();
    const hid_t dset = H5Dcreate2(file_, d.path.c_str(), file_type(d.pixel), space, lcpl, dcpl, H5P_DEFAULT);
    check(dset >= 0, "H5Dcreate2");
    if (!d.values.empty())
        check(H5Dwrite(dset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, d.values.data()) >= 0,
              "H5Dwrite");
    H5Dclose(dset);
    H5Pclose(lcpl);
    H5Pclose(dcpl);
    H5Sclose(space);
}

void H5File::scalar(const std::string& path, double value, const std::string& units) {
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t lcpl = intermediate_groups();
    const hid_t dset = H5Dcreate2(file_, path.c_str(), H5T_IEEE_F64LE, space, lcpl, H5P_DEFAULT, H5P_DEFAULT);
    check(dset >= 0, "scalar");
    H5Dwrite(dset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value);
    if (!units.empty()) {
        const hid_t type = H5Tcopy(H5T_C_S1);
        H5Tset_size(type, units.size());
        const hid_t attr = H5Acreate2(dset, "units", type, space, H5P_DEFAULT, H5P_DEFAULT);
        H5Awrite(attr, type, units.data());
        H5Aclose(attr);
        H5Tclose(type);
    }
    H5Dclose(dset);
    H5Pclose(lcpl);
    H5Sclose(space);
}

void H5File::external_link(const std::string& link_path, const std::string& target_file,
                           const std::string& target_path) {
    const hid_t lcpl = intermediate_groups();
    check(H5Lcreate_external(target_file.c_str(), target_path.c_str(), file_, link_path.c_str(), lcpl,
                             H5P_DEFAULT) >= 0,
          "external link");
    H5Pclose(lcpl);
}

H5Dataset h5_stack(uint64_t frames, uint64_t height, uint64_t width, H5Pixel pixel, H5Filter filter,
                   double (*value)(uint64_t f, uint64_t x, uint64_t y)) {
    H5Dataset d;
    d.dims = {frames, height, width};
    d.pixel = pixel;
    d.filter = filter;
    if (filter != H5Filter::None) d.chunk = {1, height, width};
    for (uint64_t f = 0; f < frames; ++f)
        for (uint64_t y = 0; y < height; ++y)
            for (uint64_t x = 0; x < width; ++x)
                d.values.push_back(value(f, x, y));
    return d;
}

namespace {
size_t packed_bytes(const std::vector<uint8_t>& chunk, size_t record) {
    check(record + 4 <= chunk.size(), "chunk shorter than its blocks");
    return size_t{chunk[record]} << 24 | size_t{chunk[record + 1]} << 16 | size_t{chunk[record + 2]} << 8 |
           chunk[record + 3];
}
} // namespace

std::vector<size_t> bitshuffle_block_records(const std::vector<uint8_t>& chunk, size_t blocks) {
    std::vector<size_t> at;
    size_t pos = 12;
    for (size_t b = 0; b < blocks; ++b) {
        at.push_back(pos);
        pos += 4 + packed_bytes(chunk, pos);
    }
    return at;
}

void damage_bitshuffle_block(const std::string& path, uint64_t frame, size_t block) {
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    const hid_t dset = H5Dopen2(file, "/entry/data/data", H5P_DEFAULT);
    const hsize_t offset[3] = {frame, 0, 0};
    hsize_t bytes = 0;
    check(H5Dget_chunk_storage_size(dset, offset, &bytes) >= 0, "H5Dget_chunk_storage_size");
    std::vector<uint8_t> chunk(bytes);
    uint32_t filters = 0;
    check(H5Dread_chunk(dset, H5P_DEFAULT, offset, &filters, chunk.data()) >= 0, "H5Dread_chunk");
    const size_t record = bitshuffle_block_records(chunk, block).back();
    const size_t packed = packed_bytes(chunk, record);
    std::fill_n(chunk.begin() + record + 4, packed, 0xFF);
    check(H5Dwrite_chunk(dset, H5P_DEFAULT, filters, offset, bytes, chunk.data()) >= 0, "H5Dwrite_chunk");
    H5Dclose(dset);
    H5Fclose(file);
}

void write_cbf(const std::string& path, uint32_t width, uint32_t height, const std::vector<int32_t>& pixels) {
    cbf_handle h = nullptr;
    check(cbf_make_handle(&h) == 0, "cbf_make_handle");
    check(cbf_new_datablock(h, "image_1") == 0, "datablock");
    check(cbf_new_category(h, "array_data") == 0, "category");
    check(cbf_new_column(h, "header_convention") == 0, "column");
    check(cbf_set_value(h, "SLS_1.0") == 0, "value");
    check(cbf_new_column(h, "header_contents") == 0, "column");
    check(cbf_set_value(h, "\n# Detector: TEST 1M, S/N 0-0000\n# 2024-May-31T12:00:00.000\n"
                           "# Exposure_time 0.5000000 s\n# Tau = 0 s\n") == 0,
          "header");
    check(cbf_new_column(h, "data") == 0, "column");
    check(cbf_set_integerarray_wdims_fs(h, CBF_BYTE_OFFSET, 1, const_cast<int32_t*>(pixels.data()),
                                        sizeof(int32_t), 1, pixels.size(), "little_endian", width, height, 0,
                                        4095) == 0,
          "cbf_set_integerarray");
    std::FILE* fp = std::fopen(path.c_str(), "w+b");
    check(fp != nullptr, "fopen");
    // libcbf closes the stream itself.
    check(cbf_write_file(h, fp, 1, CBF, MSG_DIGEST | MIME_HEADERS | PAD_4K, ENC_NONE) == 0, "cbf_write_file");
    cbf_free_handle(h);
}

bool read_cbf_with_libcbf(const std::string& path, uint32_t& width, uint32_t& height,
                          std::vector<int32_t>& pixels) {
    cbf_handle h = nullptr;
    if (cbf_make_handle(&h) != 0) return false;
    std::FILE* fp = std::fopen(path.c_str(), "rb");
    bool ok = fp && cbf_read_widefile(h, fp, MSG_DIGEST) == 0 && cbf_rewind_datablock(h) == 0 &&
              cbf_find_category(h, "array_data") == 0 && cbf_find_column(h, "data") == 0;
    unsigned int compression = 0;
    int id = 0, elsigned = 0, elunsigned = 0, minelem = 0, maxelem = 0;
    size_t elsize = 0, nelem = 0, fast = 0, mid = 0, slow = 0, padding = 0, read = 0;
    const char* order = nullptr;
    ok = ok && cbf_get_integerarrayparameters_wdims_fs(h, &compression, &id, &elsize, &elsigned, &elunsigned,
                                                       &nelem, &minelem, &maxelem, &order, &fast, &mid, &slow,
                                                       &padding) == 0;
    if (ok) {
        pixels.assign(nelem, 0);
        ok = cbf_get_integerarray(h, &id, pixels.data(), sizeof(int32_t), 1, nelem, &read) == 0 &&
             read == nelem;
        width = static_cast<uint32_t>(fast);
        height = static_cast<uint32_t>(mid);
    }
    cbf_free_handle(h); // closes the stream
    return ok;
}

void write_tiff(const std::string& path, const TiffPages& t) {
    std::string mode = "w";
    mode += t.big_endian ? "b" : "l";
    if (t.bigtiff) mode += "8";
    TIFF* tif = TIFFOpen(path.c_str(), mode.c_str());
    check(tif != nullptr, "TIFFOpen");
    const uint32_t bytes = t.bits / 8;
    for (size_t p = 0; p < t.pages.size(); ++p) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, t.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, t.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, t.bits);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, t.sample_format);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, t.compression);
        TIFFSetField(tif, TIFFTAG_SOFTWARE, "detector test writer");
        if (t.pages.size() > 1) {
            TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(p),
                         static_cast<uint16_t>(t.pages.size()));
        }
        // Each page's samples in the file's pixel type.
        std::vector<uint8_t> raw(size_t{t.width} * t.height * bytes);
        for (size_t i = 0; i < size_t{t.width} * t.height; ++i) {
            const double v = t.pages[p][i];
            uint8_t* at = raw.data() + i * bytes;
            if (t.sample_format == 3) {
                const float f = static_cast<float>(v);
                std::memcpy(at, &f, 4);
            } else if (bytes == 1) {
                *at = static_cast<uint8_t>(static_cast<int64_t>(v));
            } else if (bytes == 2) {
                const uint16_t u = static_cast<uint16_t>(static_cast<int64_t>(v));
                std::memcpy(at, &u, 2);
            } else {
                const uint32_t u = static_cast<uint32_t>(static_cast<int64_t>(v));
                std::memcpy(at, &u, 4);
            }
        }
        if (t.tile) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, t.tile);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, t.tile);
            std::vector<uint8_t> tile(size_t{t.tile} * t.tile * bytes);
            for (uint32_t ty = 0; ty < t.height; ty += t.tile)
                for (uint32_t tx = 0; tx < t.width; tx += t.tile) {
                    std::fill(tile.begin(), tile.end(), uint8_t{0});
                    for (uint32_t y = ty; y < std::min(t.height, ty + t.tile); ++y)
                        for (uint32_t x = tx; x < std::min(t.width, tx + t.tile); ++x)
                            std::memcpy(&tile[((y - ty) * t.tile + (x - tx)) * bytes],
                                        &raw[(size_t{y} * t.width + x) * bytes], bytes);
                    check(TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0) >= 0, "TIFFWriteTile");
                }
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                         t.rows_per_strip ? t.rows_per_strip : TIFFDefaultStripSize(tif, 0));
            for (uint32_t y = 0; y < t.height; ++y)
                check(TIFFWriteScanline(tif, &raw[size_t{y} * t.width * bytes], y, 0) >= 0,
                      "TIFFWriteScanline");
        }
        check(TIFFWriteDirectory(tif) != 0, "TIFFWriteDirectory");
    }
    TIFFClose(tif);
}

} // namespace zt
