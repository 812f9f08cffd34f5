#include "zd_acquire.hpp"

#include "zandor.hpp"
#include "zd_settings.hpp"

void get_image(const std::string&, const std::string&, IMG&) {
    v_error("zandor", "image acquisition not available yet");
}

std::vector<int32_t>& cor_image(IMG&) { v_error("zandor", "correction step not available yet"); }

void proc_image(IMG&) { v_error("zandor", "image correction not available yet"); }
