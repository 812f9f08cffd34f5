#include "zd_driver.hpp"

DriverState drv;

bool stat_mode() {
    return contains(prg_state().name, "stat");
}
