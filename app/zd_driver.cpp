#include "zd_driver.hpp"

thread_local DriverState drv;

bool stat_mode() {
    return contains(prg_state().name, "stat");
}
