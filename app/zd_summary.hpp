// The machine-readable summary of a run: a JSON document written at the end
// of the run when the settings key SUMMARY names a file. The driver feeds it
// with small calls where it already knows the facts.
#pragma once

#include "prg_lib.hpp"
#include "xy_lib.hpp"

#include <string>
#include <vector>

// SUMMARY = file.json (empty: no summary).
bool take_summary_key(const IniTag& tag);
void summary_usage();
// Forgets everything recorded (start of a run).
void summary_reset();

// An image word starts; the files read for it follow.
void summary_image_word(const std::string& word);
// The image words of the run so far, in order.
std::vector<std::string> summary_image_words();
void summary_file_read(const std::string& name);
// The image of the current word after its corrections, and how many pixels
// the correction step rescaled to the full frame count.
void summary_pixels_rescaled(int32_t count);
void summary_image_done(const IMG& img);
// Dark and flat images in force ("" names none).
void summary_dark(const std::string& name, int32_t frames);
void summary_flat(const std::string& name, int32_t frames);
void summary_grid_applied();
// An output file with its writer, depth in bits (0 for text), the offset
// subtracted from every value and the scale factor applied after it (1: none).
void summary_output(const std::string& path, const std::string& writer, int32_t depth, int64_t offset,
                    double scale);
// The document, with the working image's statistics (recomputed) when there
// is one.
std::string summary_text(IMG& image, const std::string& version);
// Writes the document atomically. Nothing when SUMMARY is not set.
void summary_write(IMG& image, const std::string& version);
