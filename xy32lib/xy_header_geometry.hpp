// The detector geometry that a file's header gives: detector distance, pixel
// size, beam centre and wavelength, each converted to the unit zandor works in
// and kept with the header text it came from. The format modules fill it (the
// HDF5 module from the NeXus detector and beam groups); the text headers of
// hybrid-pixel detectors ("# Detector_distance 0.16000 m" in CBF files and in
// TIFF descriptions) are read from the header entries of any file.
#pragma once

#include <string>

struct HDR;

// One value of the header, in the field's working unit.
struct HeaderValue {
    double value = 0.0;
    std::string source;        // the header's key or path and its text; empty: not given
    bool unit_assumed = false; // the header gave no unit: the field's default unit was taken
    bool known() const { return !source.empty(); }
};

struct HeaderGeometry {
    HeaderValue distance;         // sample to detector, mm
    HeaderValue pixel_x, pixel_y; // pixel width and height, mm
    HeaderValue beam_x, beam_y;   // beam centre, in pixels or, when beam_in_mm, in mm
    bool beam_in_mm = false;      // from the detector's first corner, along x and y
    HeaderValue wavelength;       // Å
    bool beam_known() const { return beam_x.known() && beam_y.known(); }
};

// The quantities a header value can be, with the unit assumed when the header
// names none.
enum class HeaderQuantity {
    length,     // to mm; none: mm
    wavelength, // to Å; none: Å
    beam_text,  // to pixels or mm; none: pixels (hybrid-pixel text headers)
    beam_nexus, // to pixels or mm; none: mm (NeXus fields are lengths)
};

// Converts `number` given in `unit` (as written in a header: "m", "mm", "um",
// "micron", "nm", "A", "Angstrom", "pixels", ...; empty: the quantity's
// default) into `out`. Returns false for a unit that does not fit the
// quantity. `in_mm` says whether a beam position came as a length.
bool xy_header_unit_value(HeaderQuantity quantity, double number, const std::string& unit, HeaderValue& out,
                          bool* in_mm = nullptr);

// Reads one "key value" entry of a hybrid-pixel text header (Detector_distance,
// Pixel_size, Beam_xy, Wavelength) into the fields of `geometry` not known yet.
void xy_header_text_entry(const std::string& key, const std::string& value, HeaderGeometry& geometry);

// Reads every "# key value" line of a hybrid-pixel text header (a TIFF
// description) as xy_header_text_entry does.
void xy_header_text(const std::string& text, HeaderGeometry& geometry);

// The geometry of an open file: what its format module found, then the text
// entries of its header list; of a TIFF file read by the GEL module, its whole
// description (the header list keeps only its start, on one line).
HeaderGeometry xy_header_geometry(const HDR& hdr);
