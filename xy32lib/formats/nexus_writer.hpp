// NeXus/HDF5 output through libhdf5. The file holds one NXentry, /entry, whose
// NXdata group /entry/data carries the working image `data` (signed 32-bit
// integers, -1 where no frame counted; or 32-bit floats, NaN there), its
// per-pixel frame counts `frame_count`, `mask` (1 where no frame counted) and
// the `signal` and `axes` attributes a NeXus viewer looks for. The facts the
// caller passes (XyWriteOptions::metadata) go to the groups they name under
// /entry, with their NeXus classes. The datasets are stored as H5_COMPRESSION
// says: plain, gzip (with the shuffle filter), or bitshuffle+LZ4 through its
// filter plugin.
#pragma once

#include "xy_lib.hpp"

#include <string>

// Writes `img` to `path` (".h5" appended when the name has none of ".h5",
// ".nxs", ".hdf5"), atomically; a failure stops the run and leaves no file.
void nexus_write(const IMG& img, const std::string& path, const XyWriteOptions& options);

// The registry's writers of ".h5", ".nxs" and ".hdf5" names.
extern const XyWriter h5_writer;
extern const XyWriter nxs_writer;
extern const XyWriter hdf5_writer;
