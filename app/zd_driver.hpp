// The state of the console program's run: the records it reads into and
// accumulates, and what the corrections in force are. The driver (zandor.cpp)
// and the modules it calls share it; the settings module fills its reading
// settings. Like the program's other run records, there is one per thread, so
// that runs embedded on several threads at once do not share it.
#pragma once

#include "7c_cry.hpp"
#include "xy_job.hpp"
#include "xy_lib.hpp"

#include <cstdio>
#include <string>
#include <vector>

struct DriverState {
    // Reading settings that every acquisition starts from: region, binning,
    // frame range, orientation, multiplier and cosmic-ray thresholds from the
    // settings file; the first image of a working image then fixes its frame
    // range and the geometry of its files.
    XyReading reading;
    Job job;                    // the library's state: messages, reading options, zones, grid model
    GeometryState geo;          // crystal and goniometer geometry of the (h, k, l) commands
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

extern thread_local DriverState drv;

// The program runs its statistics mode (its name contains "stat").
bool stat_mode();
