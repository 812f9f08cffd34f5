// TIFF files read through libtiff: the layouts the built-in reader (gel_lib)
// refuses because their pixels are not stored plainly in one place, namely
// compressed strips (LZW, Deflate, PackBits, ZSTD, ...), tiles, BigTIFF and
// several pages, each page being one frame. Grayscale only, as the built-in
// reader: 8 and 16-bit unsigned, 16 and 32-bit signed, 32-bit unsigned and
// float samples.
#pragma once

#include "gel_lib.hpp"
#include "xy_decoder.hpp"

#include <memory>
#include <string>

// Whether the file needs libtiff: BigTIFF, a first page that is compressed or
// tiled, or a second page. A header too damaged to say gives false, so that
// the built-in reader reports it.
bool tif_needs_library(const GelBytes& file);

// Opens `file_name` through libtiff in `mode` ("r", "w"): its error
// messages go to `error` (the last one kept), its warnings nowhere, and no
// single block above 1 GiB is allocated. Null when it cannot be opened.
struct tiff;
tiff* tif_open_reporting(const std::string& file_name, const char* mode, std::string& error);

// Opens a TIFF file through libtiff; the record carries the frame decoder.
std::unique_ptr<HDR> tif_open(const std::string& name, const std::string& program, bool as_named = false,
                              const XyReadOptions& reading = {});

// The open operation of TIFF and GEL files: through libtiff when the file
// needs it, through the built-in reader otherwise.
std::unique_ptr<HDR> tif_open_any(const std::string& name, const std::string& program, bool as_named = false,
                                  const XyReadOptions& reading = {});
// The registry entry of TIFF and GEL files: the names and first bytes of the
// built-in reader's entry, opened by tif_open_any.
extern const XyFormat tiff_format;
