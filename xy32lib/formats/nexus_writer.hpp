// NeXus/HDF5 output through libhdf5. The file holds one NXentry, /entry, whose
// NXdata group /entry/data carries the working image `data` (signed 32-bit
// integers, -1 where no frame counted; or 32-bit floats, NaN there), its
// per-pixel frame counts `frame_count`, `mask` (1 where no frame counted) and
// the `signal` and `axes` attributes a NeXus viewer looks for. The facts the
// caller passes (XyWriteOptions::metadata) go to the groups they name under
// /entry, with their NeXus classes. The datasets are stored as H5_COMPRESSION
// says: plain, gzip (with the shuffle filter; level 1 for the frame counts
// and the mask, which repeat a few values), or bitshuffle+LZ4, the filter
// recorded for its plugin; the chunks of the compressed ones are compressed
// on XyWriteOptions::threads threads (h5_chunks). libhdf5 writes the file at
// the temporary name itself when the disk space it may take can be held
// first, else it is built in memory.
#pragma once

#include "h5_handles.hpp"
#include "xy_lib.hpp"

#include <functional>
#include <string>

// Writes `img` to `path` (".h5" appended when the name has none of ".h5",
// ".nxs", ".hdf5"), atomically; a failure stops the run and leaves no file.
void nexus_write(const IMG& img, const std::string& path, const XyWriteOptions& options);

// The pieces every NeXus output builds with: a text attribute, a group with
// its NX_class, and a file built in memory by libhdf5 (its core driver, with
// `room` bytes at first) whose contents `fill` writes, handed back as bytes
// for the caller to write: a full disk is then the caller's write failing,
// never libhdf5 half way through closing a file. False on any failure, with
// libhdf5's error printing off meanwhile.
bool put_text_attribute(hid_t object, const char* name, const std::string& text);
GroupId new_group(hid_t parent, const char* name, const char* nx_class);
bool nexus_memory_file(size_t room, const std::function<bool(hid_t file)>& fill, std::string& bytes);

// The registry's writers of ".h5", ".nxs" and ".hdf5" names.
extern const XyWriter h5_writer;
extern const XyWriter nxs_writer;
extern const XyWriter hdf5_writer;
