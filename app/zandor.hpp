// The zandor driver: start-up, the word loop, the "%" commands and the help.
#pragma once

#include "xy_lib.hpp"

#include <string>
#include <vector>

// The image records of the run and the names of what is in force.
struct DriverState {
    // Reading settings that every acquisition starts from: region, binning,
    // frame range, orientation, multiplier and cosmic-ray thresholds from the
    // settings file; the first image of a working image then fixes its frame
    // range and the geometry of its files. It never holds pixels.
    IMG reading;
    IMG image;                  // working image: the accumulated, corrected result
    IMG i_image;                // image being acquired
    IMG d_image;                // dark
    IMG f_image;                // flat field
    std::string i_name;         // the word that named the current image
    std::string g_name;         // grid name, "GRID_AUTO" once a grid correction ran
    bool dark_in_force = false; // a dark pixel plane is held in d_image.data
    bool flat_in_force = false;
    bool grid_done = false;               // the image corrected last has been grid-corrected
    std::FILE* out_cosmic = nullptr;      // cosmic-ray report stream; none: standard output
    std::vector<FileHandle> report_files; // report files stay open until the run ends
};

extern DriverState drv;

extern const char* const RELEASE;

// Runs zandor on the given command line; returns the exit status (0, or 3 on a
// fatal error, or the status of a help request).
int zandor_main(int argc, char** argv);

// Prints the help to the standard error stream and ends the run (status 0 for
// "--usage" words, 3 otherwise).
[[noreturn]] void usage(const std::string& message, const std::string& word);

// True when the program runs under a name containing "stat".
bool stat_mode();
