// The "%" commands. Each command is one entry of kCommands: its letter
// (case-sensitive), its handler, and whether the information block of the
// working image follows it. A module adds a command by adding its entry.
#include "zd_commands.hpp"

#include "xy_excl.hpp"
#include "xy_transfo.hpp"
#include "zd_driver.hpp"
#include "zd_map.hpp"
#include "zd_ops.hpp"
#include "zd_pks.hpp"
#include "zd_powder.hpp"
#include "zd_rad.hpp"
#include "zd_run.hpp"

#include <cstdio>

namespace {

// A handler gets the text after the command letter and the working image.
using CommandHandler = void (*)(const std::string& text, IMG& image);

struct Command {
    char letter;
    CommandHandler run;
    bool prints_info; // the information block of the working image follows
};

// The writers get the word from the letter on: the letter is the depth request.
template <char Letter> void write_image(const std::string& text, IMG& image) {
    put_image(Letter + text, run.out, image);
}

// The next image read starts a new working image; dark and flat stay.
void free_image(const std::string&, IMG& image) {
    xy_freeimg(image, FREE_DATA);
}

void radial_command(const std::string& text, IMG& image) {
    radial(text, run.out, image);
}
void powder_command(const std::string& text, IMG& image) {
    powder(text, run.out, image, drv.geo.lambda);
}
void peaks_command(const std::string& text, IMG& image) {
    peaks(drv.geo, text, run.out, image);
}
void hkl_map_command(const std::string& text, IMG& image) {
    hkl_map(drv.geo, text, run.out, image, drv.job.reading.threads);
}
// The frame counts of the working image as a mask image.
void mask_save_command(const std::string& text, IMG& image) {
    excl_save(text, image, run.cr_mode);
}
void transfo_command(const std::string& text, IMG& image) {
    std::string rule = text;
    transfo_image(rule, image);
}

const Command kCommands[] = {
    {'A', add_image, true},         // %A=v: add v to every pixel
    {'M', mul_image, true},         // %M=v: multiply every pixel by v
    {'C', cut_image, true},         // %C=h[,l]: clip at multiples of the mean
    {'S', sca_image, true},         // %S=v: rescale, reporting the new maximum
    {'X', write_image<'X'>, false}, // %X[name]: write, 32-bit or automatic depth
    {'Y', write_image<'Y'>, false}, // %Y[name]: write, 16-bit request
    {'Z', write_image<'Z'>, false}, // %Z[name]: write, 8-bit request
    {'R', radial_command, false},   // %R...: radial distribution file
    {'Q', powder_command, false},   // %Q[name]: powder profile in 2theta, q, d or r
    {'P', peaks_command, false},    // %P...: peak list file
    {'H', hkl_map_command, true},   // %H...: (h, k, l) map file
    {'F', free_image, false},       // %F: the next image starts a new working image
    {'G', grid_image, true},        // %G: grid correction
    {'g', mask_save_command, true}, // %g...: save the pixel mask
    {'T', transfo_command, true},   // %T...: analyse a transform rule
};

const Command* find_command(char letter) {
    for (const Command& command : kCommands)
        if (command.letter == letter) return &command;
    return nullptr;
}

} // namespace

void run_command(const std::string& word, IMG& image) {
    const char letter = word.size() > 1 ? word[1] : '\0';
    const std::string text = word.size() > 2 ? word.substr(2) : std::string();
    const Command* command = find_command(letter);
    bool prints_info = false;
    if (command) {
        command->run(text, image);
        prints_info = command->prints_info;
    } else {
        prg_notice("unknown command '%s'", word.c_str());
        // An unknown letter is followed by the information block like any
        // command; "%" alone has no letter and is not.
        prints_info = letter != '\0';
    }
    // An empty working image has no information to report.
    if (prints_info && (run.print & PRINT_INFO) && !image.data.empty()) {
        xy_info(image, INFO_ALL);
        xy_fputinfo(stdout, image);
    }
}
