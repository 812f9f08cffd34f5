// HDF5 and NeXus image stacks, read through libhdf5. Compression filters that
// are not built into the library (LZ4, bitshuffle) are loaded by it as plugins.
// Frames are the first dimension of a 3-D dataset; a 2-D dataset is one frame.
#pragma once

#include "xy_decoder.hpp"

#include <memory>
#include <string>

// Takes H5_DATA (the dataset to read, instead of the one the module looks
// for) into `reading`; true when the key was the module's.
bool h5_inipar(XyReadOptions& reading, const IniTag& tag);
// The module's settings keys, for the usage text.
void h5_iniuse();

// The file's first bytes are the HDF5 signature.
bool h5_looks_like(const std::string& head);

// Opens the image stack: the dataset `reading.h5_data_path` when set, else /entry/data/data,
// else the linked /entry/data/data_000001, data_000002, ... of a master file
// taken in order as one series of frames, else /entry/instrument/detector/data,
// else the first 3-D (then 2-D) integer or float dataset of the file. The
// record carries the frame decoder and the detector's pixel mask when the file
// has one.
std::unique_ptr<HDR> h5_open(const std::string& name, const std::string& program, bool as_named = false,
                             const XyReadOptions& reading = {});
// The registry entry: ".h5", ".hdf5" and ".nxs" names and files with the HDF5 signature.
extern const XyFormat h5_format;
