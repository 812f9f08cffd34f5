// The facts an HDF5 output records beside the working image: what the input
// files say of the instrument (wavelength, detector distance, beam centre,
// pixel size), the beam centre of the settings (ORIG) when no file gives one,
// and how the image was made (program and version, image words, dark, flat and
// grid correction in force, settings files and the settings of the outputs).
#pragma once

#include "xy_lib.hpp"

#include <vector>

std::vector<XyMetadataItem> output_metadata(const IMG& img);

// The instrument facts of one header entry ("Wavelength" = "1.0332 angstrom"
// and the like): none when the key is not one of them or its value holds no
// number. Pixel sizes ("172e-6 m x 172e-6 m") give two facts.
std::vector<XyMetadataItem> instrument_facts(const std::string& key, const std::string& value);
