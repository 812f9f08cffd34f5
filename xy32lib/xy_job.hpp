// One job of the engine: what the library keeps between calls for one program,
// binding or worker thread. Jobs share nothing: a caller makes one per job,
// binds its program state to the thread that runs it (ProgramScope) and hands
// its parts to the functions that use them.
#pragma once

#include "prg_lib.hpp"
#include "xy_excl.hpp"
#include "xy_grid.hpp"
#include "xy_lib.hpp"

struct Job {
    ProgramState program;  // name, messages and their sink, log, warnings, files read and written
    XyReadOptions reading; // real-time wait limit, HDF5 dataset
    ExclState zones;       // exclusion zones, ROIs and the mask files they read
    GridCor grid;          // grid model and its settings
};
