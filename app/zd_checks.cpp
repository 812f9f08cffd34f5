#include "zd_checks.hpp"

#include "prg_lib.hpp"
#include "xy_lib.hpp"
#include "xy_transfo.hpp"

#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool is_dark_or_flat(const std::string& word) {
    return word.compare(0, 2, "D=") == 0 || word.compare(0, 2, "F=") == 0;
}

bool is_image_word(const std::string& word) {
    return !word.empty() && word[0] != '%' && word[0] != '-' && !is_dark_or_flat(word);
}

// The directory part of the name a writer word gives ("%X=dir/a.tif"), or
// "" when the word names no directory.
std::string written_dir(const std::string& word) {
    if (word.size() < 3 || word[0] != '%') return std::string();
    if (std::string("XYZg").find(word[1]) == std::string::npos) return std::string();
    std::string name = word.substr(2);
    name.erase(0, name.find_first_not_of(word[1] == 'g' ? "= \t" : "="));
    return prg_pathname(name);
}

void check_dir(const std::string& dir, const char* what) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        prg_warning("%s directory '%s' does not exist: writing there will fail", what, dir.c_str());
    else if (!S_ISDIR(st.st_mode))
        prg_warning("%s directory '%s' is not a directory: writing there will fail", what, dir.c_str());
    else if (::access(dir.c_str(), W_OK | X_OK) != 0)
        prg_warning("%s directory '%s' is not writable: writing there will fail", what, dir.c_str());
}

// The image a word reads ("" for a command, a help word or D=NONE).
std::string image_of_word(const std::string& word) {
    if (is_image_word(word)) return word;
    if (is_dark_or_flat(word) && word.substr(2) != "NONE") return word.substr(2);
    return std::string();
}

// Parses the options of an image word as the acquisition will, without
// reading anything.
void warn_about_options(const std::string& word) {
    IMG scratch;
    SeriesName series;
    xy_rep_name(word, scratch, series);
}

void warn_about_rule(const std::string& text) {
    const std::string warning = rule_warning(rule_clean(text));
    if (!warning.empty()) prg_warning("%s", warning.c_str());
}

bool is_command(const std::string& word, char letter) {
    return word.size() >= 2 && word[0] == '%' && word[1] == letter;
}

} // namespace

void warn_ahead_of_words(const std::vector<std::string>& words,
                         const std::vector<std::string>& settings_images,
                         const std::vector<std::string>& radial_rules) {
    for (const std::string& name : settings_images)
        if (!name.empty()) warn_about_options(name);
    DarkFlatTracker dark_flat;
    bool radial = false;
    for (const std::string& word : words) {
        const std::string image = image_of_word(word);
        if (!image.empty()) warn_about_options(image);
        if (is_command(word, 'T')) warn_about_rule(word.substr(2));
        radial = radial || is_command(word, 'R');
        dark_flat.saw_word(word);
    }
    dark_flat.finish();
    if (!radial) return;
    for (const std::string& rule : radial_rules)
        if (!rule.empty()) warn_about_rule(rule);
}

void warn_unwritable_output_dirs(const std::string& out_dir, const std::vector<std::string>& words) {
    if (!out_dir.empty()) check_dir(out_dir, "OUT");
    std::set<std::string> checked;
    for (const std::string& word : words) {
        const std::string dir = written_dir(word);
        if (!dir.empty() && checked.insert(dir).second) check_dir(dir, "output");
    }
}

void DarkFlatTracker::saw_word(const std::string& word) {
    if (is_dark_or_flat(word))
        unused_ = word;
    else if (is_image_word(word))
        unused_.clear();
}

void DarkFlatTracker::finish() const {
    if (!unused_.empty())
        prg_warning("%s comes after the last image and applies to no image", unused_.c_str());
}
