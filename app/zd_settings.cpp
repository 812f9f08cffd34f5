#include "zd_settings.hpp"

#include "7c_cry.hpp"
#include "h5_lib.hpp"
#include "xy_excl.hpp"
#include "xy_grid.hpp"
#include "xy_transfo.hpp"
#include "zd_driver.hpp"
#include "zd_powder.hpp"
#include "zd_rad.hpp"
#include "zd_stat.hpp"
#include "zd_summary.hpp"

#include <cstring>
#include <sys/stat.h>
#include <utility>
#include <vector>

std::string default_extension(const std::string& invocation) {
    if (invocation.compare(0, 3, "kvf") == 0) return ".kvf";
    if (invocation.compare(0, 3, "gel") == 0) return ".gel";
    if (invocation.compare(0, 3, "txt") == 0) return ".txt";
    return ".spe";
}

namespace {

// ---------------------------------------------------------------- the driver's keys

bool take_image_key(const IniTag& tag) {
    return xy_inipar(drv.reading, tag) != 0;
}

bool take_run_key(const IniTag& t) {
    return prg_inistr(t, "FLAT_NAME", run.f_name) || prg_inistr(t, "DARK_NAME", run.d_name) ||
           prg_inistr(t, "DIR", run.dir) || prg_inistr(t, "OUT", run.out) ||
           prg_inistr(t, "DEF", run.r_def) || prg_iniint(t, "CR", run.cr_mode) ||
           prg_iniint(t, "DFORMAT", run.dformat) || prg_inistr(t, "STDIN", run.stdin_name);
}

void run_usage() {
    std::fputs(" DIR = full path to search for data file\n"
               " OUT = full path for result (.res) file\n"
               " DEF = default extension (.spe), or .kvf .gel .txt when the program name begins with kvf gel "
               "txt\n"
               " CR = 0, set to 1 if you wish cr in rad file\n"
               " DFORMAT = size of ineger field in output name, default same as entry\n"
               " STDIN = full path for redirecting stdin\n"
               " FLAT_NAME = full path of the flatfield file to use\n"
               " DARK_NAME = full path of the dark file to use\n",
               stderr);
}

bool take_normalisation_key(const IniTag& t) {
    return prg_inistr(t, "SPEC", run.spec_name) || prg_inistr(t, "WSPEC2XL", run.wspec2xl) ||
           prg_iniint(t, "XL_COL", run.xl_col);
}

void normalisation_usage() {
    std::fputs(" SPEC = full path to spec file for collecting info\n"
               " WSPEC2XL = script (and args) to extract normation, use * for file name \n"
               " XL_COL = pos of the selected column in WSPEC2XL\n",
               stderr);
}

bool take_cosmic_key(const IniTag& t) {
    XyReading& img = drv.reading;
    return prg_inistr(t, "O_COSMIC", run.o_cosmic) || prg_iniflt(t, "T_COSMIC", img.t_cosmic) ||
           prg_iniflt(t, "S_COSMIC", img.s_cosmic) || prg_iniflt(t, "R_COSMIC", img.r_cosmic) ||
           prg_iniflt(t, "H_COSMIC", img.h_cosmic) || prg_iniflt(t, "P_COSMIC", img.p_cosmic);
}

void cosmic_usage() {
    std::fputs(" O_COSMIC = file_name, STDOUT or default to image_name.cosmic\n"
               " T_COSMIC = used for time removal\n"
               " S_COSMIC = used for space removal\n"
               " R_COSMIC = ratio on the standard deviation used for time and space removal\n"
               " H_COSMIC = lower cosmics on one frame for time removal\n"
               " P_COSMIC = lower cosmics on the frame sum for spacial removal\n",
               stderr);
}

// T_DATA names the data type of native output files.
bool take_t_data(const IniTag& tag) {
    if (!prg_inikey(tag, "T_DATA")) return false;
    if (!tag.has_value) return true; // a key without "=" sets nothing
    const std::string& value = tag.value;
    if (value.find("T_INT32") != std::string::npos) {
        run.t_mode = XY_TYPE_INT32;
    } else if (value.find("T_FLOAT") != std::string::npos) {
        run.t_mode = XY_TYPE_FLOAT;
    } else {
        prg_printf(" invalid %s mode in T_DATA, reset to INVALID_DATA\n", value.c_str());
        run.t_mode = 0;
    }
    prg_printf(" T_DATA= %s\n", value.c_str());
    return true;
}

// REALTIME waits at most a day per file, so that a typing error cannot hang a
// run for years; REALTIME_TIMEOUT (0: no limit) bounds the wait for a file that
// never appears.
constexpr int32_t kMaxRealtimeSeconds = 86400;

bool take_realtime_key(const IniTag& t) {
    if (prg_iniint(t, "REALTIME", run.real_time)) {
        if (run.real_time > kMaxRealtimeSeconds)
            v_fatal("zandor", "REALTIME = %d refused: a file is awaited at most %d seconds (one day)",
                    run.real_time, kMaxRealtimeSeconds);
        return true;
    }
    int32_t& timeout = drv.job.reading.wait_timeout;
    if (!prg_iniint(t, "REALTIME_TIMEOUT", timeout)) return false;
    if (timeout < 0) v_fatal("zandor", "REALTIME_TIMEOUT = %d refused: seconds, 0 for no limit", timeout);
    return true;
}

// THREADS: the threads the heavy steps run on; 0 takes the processors the
// process may use. Results are the same for any value.
bool take_threads_key(const IniTag& t) {
    int32_t& threads = drv.job.reading.threads;
    if (!prg_iniint(t, "THREADS", threads)) return false;
    if (threads < 0 || threads > kXyMaxThreads)
        v_fatal("zandor", "THREADS = %d refused: from 1 to %d threads, 0 for every processor", threads,
                kXyMaxThreads);
    if (threads == 0) threads = xy_available_cpus();
    return true;
}

bool take_correction_key(const IniTag& t) {
    return prg_iniflt(t, "SCA_DARK", run.sca_dark) || prg_iniint(t, "ADD_DARK", run.add_dark) ||
           prg_iniflt(t, "LOW_LIMIT", run.low_limit) || prg_iniint(t, "SET_LIMIT", run.set_limit) ||
           take_realtime_key(t) || take_threads_key(t) || prg_iniint(t, "PRINT", run.print) || take_t_data(t);
}

// The ORIG line is printed here and again after SCALE.
void correction_usage() {
    std::fputs(" SCA_DARK = scale factor to apply on dark\n"
               " ADD_DARK = offset to add to dark curent\n"
               " SET_LIMIT = remove values lower than LOW_LIMIT if not zero\n"
               " LOW_LIMIT = values are replaced mean of surrounding values (SET_LIMIT=1), by LOW_LIMIT "
               "(SET_LIMIT=2)\n"
               " ADD_DARK = offset to add to dark curent\n"
               " REALTIME = 0 or waiting time in secs to ensure data completion\n"
               " THREADS = threads of the heavy steps (0: every processor; results are the same)\n"
               " PRINT   = ... +64 cosmics, +128 cor, +256 sum, +512 raw\n"
               " T_DATA  = output mode (float...) for kvf file\n"
               " ORIG =  pixel_x(=0) pixel_y(=0) center of detector \n",
               stderr);
}

// A key whose value is one word of a list; any other word stops the run, as
// it would otherwise write files of a kind nobody asked for.
template <class E> struct Choice {
    const char* word;
    E value;
};

template <class E, size_t N>
bool take_choice(const IniTag& tag, const char* key, const Choice<E> (&choices)[N], E& target) {
    if (!prg_inikey(tag, key)) return false;
    if (!tag.has_value) return true; // a key without "=" sets nothing
    std::string words;
    for (const Choice<E>& c : choices) {
        if (tag.value == c.word) {
            target = c.value;
            return true;
        }
        words += words.empty() ? c.word : std::string(", ") + c.word;
    }
    v_fatal("zandor", "%s = '%s' is not one of %s", key, tag.value.c_str(), words.c_str());
}

const Choice<XySampleType> kTiffTypes[] = {
    {"auto", XySampleType::automatic}, {"int32", XySampleType::int32}, {"float32", XySampleType::float32}};
const Choice<XySampleType> kH5Types[] = {{"int32", XySampleType::int32}, {"float32", XySampleType::float32}};
const Choice<XyCompression> kCompressions[] = {
    {"gzip", XyCompression::gzip}, {"bslz4", XyCompression::bitshuffle_lz4}, {"none", XyCompression::none}};
const Choice<XyPreviewScale> kPreviewScales[] = {{"log", XyPreviewScale::logarithmic},
                                                 {"linear", XyPreviewScale::linear}};

bool take_output_key(const IniTag& t) {
    return take_choice(t, "TIFF_TYPE", kTiffTypes, run.tiff_type) ||
           take_choice(t, "H5_TYPE", kH5Types, run.h5_type) ||
           take_choice(t, "H5_COMPRESSION", kCompressions, run.h5_compression) ||
           take_choice(t, "PREVIEW_SCALE", kPreviewScales, run.preview_scale);
}

void output_usage() {
    std::fputs(" TIFF_TYPE = auto (depth from the values), int32 or float32 : .tif values as they are\n"
               " H5_TYPE = int32 (default) or float32 : image dataset of .h5 .nxs .hdf5 files\n"
               " H5_COMPRESSION = gzip (default), bslz4 (bitshuffle plugin) or none\n"
               " PREVIEW_SCALE = log (default) or linear : colour scale of .png previews\n",
               stderr);
}

bool take_detector_key(const IniTag& t) {
    return prg_inidbln(t, "SCALE", run.scale_det, 4) || prg_inidbln(t, "ORIG", run.orig_det, 2) ||
           prg_inistr(t, "GRID_AUTO", run.grid_auto);
}

void detector_usage() {
    std::fputs(" SCALE =  scal_xx(=1) scal_xy(=0) scal_yx(=0) scal_yy(=1) matrix form pixel to detector\n"
               " ORIG =  pixel_x(=0) pixel_y(=0) center of detector \n",
               stderr);
}

bool take_plane(const IniTag& tag) {
    if (!prg_inikey(tag, "PLANE")) return false;
    float v[5];
    const int n = std::sscanf(tag.value.c_str(), "%f%f%f%f%f", &v[0], &v[1], &v[2], &v[3], &v[4]);
    for (int i = 0; i < n && i < 5; ++i)
        run.plane[i] = v[i];
    prg_printf(" PLANE= abs(%f H + %f K +%f L + %f) < %f\n", run.plane[0], run.plane[1], run.plane[2],
               run.plane[3], run.plane[4]);
    return true;
}

void plane_usage() {
    std::fputs(" PLANE = a x+ b y+ c z= d  e ecart \n", stderr);
}

// ---------------------------------------------------------------- other modules' keys

bool take_grid_key(const IniTag& tag) {
    return grid_ini(drv.job.grid, tag) != 0;
}

void grid_defaults() {
    drv.job.grid = GridCor();
}

bool take_hdf5_key(const IniTag& tag) {
    return h5_inipar(drv.job.reading, tag);
}

bool take_geometry_key(const IniTag& tag) {
    return geo_ini(drv.geo, tag);
}

void geometry_defaults() {
    geo_set_defaults(drv.geo);
}

bool take_zone_key(const IniTag& tag) {
    return excl_inipar(drv.job.zones, tag);
}

void zone_defaults() {
    excl_defaults(drv.job.zones);
}

bool take_radial_key(const IniTag& tag) {
    return ini_radial(tag) != 0;
}

void radial_defaults() {
    rad_set = RadialSettings();
}

bool take_stat_key(const IniTag& tag) {
    return par_stat(tag) != 0;
}

void powder_defaults() {
    powder_set = PowderSettings();
}

void stat_defaults() {
    stat_settings = StatSettings();
}

// ---------------------------------------------------------------- the settings chain

// One member of the settings chain: a module's keys, their help lines and the
// module's defaults.
struct SettingsModule {
    bool (*take)(const IniTag& tag); // true when the key is the module's; null: no keys yet
    const char* topic;               // help topic of its keys
    void (*usage)();                 // help lines of its keys; null: none
    void (*defaults)();              // sets the module's defaults at start-up; null: none
    bool stat_only;                  // a member in statistics mode only
};

// Every key is offered to the members in this order; the first that takes it
// ends its handling. Keys that nobody takes are ignored.
const SettingsModule kSettingsChain[] = {
    {take_image_key, "other", xy_iniuse, nullptr, false},
    {take_hdf5_key, "other", h5_iniuse, nullptr, false},
    {take_run_key, "other", run_usage, nullptr, false},
    {take_normalisation_key, "spec", normalisation_usage, nullptr, false},
    {take_cosmic_key, "cosmic", cosmic_usage, nullptr, false},
    {take_correction_key, "other", correction_usage, nullptr, false},
    // LAMBDA is the geometry's key; the powder profile only notes that it was given.
    {observe_powder_wavelength, "other", nullptr, nullptr, false},
    {take_geometry_key, "other", geo_usage, geometry_defaults, false},
    {take_detector_key, "other", detector_usage, nullptr, false},
    {take_output_key, "other", output_usage, nullptr, false},
    {take_grid_key, "grid", grid_usage, grid_defaults, false},
    {take_radial_key, "radial", radial_usage, radial_defaults, false},
    {ini_powder, "radial", powder_usage, powder_defaults, false},
    {take_plane, "other", plane_usage, nullptr, false},
    {take_summary_key, "other", summary_usage, summary_reset, false},
    {take_zone_key, "mask", excl_usage, zone_defaults, false},
    {take_stat_key, "stat", stat_usage, stat_defaults, true},
};

bool in_chain(const SettingsModule& module) {
    return !module.stat_only || stat_mode();
}

// True when a member of the chain took the key.
bool offer_to_chain(const IniTag& tag) {
    for (const SettingsModule& module : kSettingsChain)
        if (in_chain(module) && module.take && module.take(tag)) return true;
    return false;
}

// ---------------------------------------------------------------- unknown keys

// A key and the member of the chain that asks for it.
struct KnownKey {
    std::string key;
    const SettingsModule* module; // null: a key of the settings layer
};

// Every key of every member, statistics included, in chain order: each
// member is asked with a census tag, which collects the keys its getters
// look for.
std::vector<KnownKey> take_key_census() {
    std::vector<KnownKey> known;
    std::vector<std::string> keys;
    IniTag census;
    census.census = &keys;
    prg_take_layer_key(census);
    for (const std::string& key : keys)
        known.push_back({key, nullptr});
    for (const SettingsModule& module : kSettingsChain) {
        keys.clear();
        if (module.take) module.take(census);
        for (const std::string& key : keys)
            known.push_back({key, &module});
    }
    return known;
}

const std::vector<KnownKey>& known_keys() {
    static const std::vector<KnownKey> known = take_key_census();
    return known;
}

// Suggestions are made within this many edits of a known key.
constexpr size_t kSuggestionEdits = 2;

// The known key nearest to `key` (the first of equally near ones), or null
// when none is within kSuggestionEdits.
const KnownKey* nearest_known_key(const std::string& key) {
    const KnownKey* best = nullptr;
    size_t best_edits = kSuggestionEdits + 1;
    for (const KnownKey& known : known_keys()) {
        const size_t edits = prg_edit_distance(key, known.key, kSuggestionEdits);
        if (edits < best_edits) {
            best = &known;
            best_edits = edits;
        }
    }
    return best;
}

// A key that no member took: a statistics key outside statistics mode, or a
// key nobody knows (a misspelt key would otherwise leave its setting at its
// default without a word).
void warn_untaken_key(const std::string& key) {
    for (const KnownKey& known : known_keys()) {
        if (known.key != key) continue;
        if (known.module && known.module->stat_only && !stat_mode())
            prg_warning("settings key %s is used only in statistics mode, ignored", key.c_str());
        return;
    }
    const KnownKey* nearest = nearest_known_key(key);
    if (nearest)
        prg_warning("settings key %s is not known, ignored (did you mean %s?)", key.c_str(),
                    nearest->key.c_str());
    else
        prg_warning("settings key %s is not known, ignored", key.c_str());
}

// Help topics in the order they are printed; "always" topics do not depend on
// the word's selection.
struct HelpTopic {
    const char* name;
    bool always;
};
const HelpTopic kHelpTopics[] = {{"other", false}, {"mask", false},   {"spec", false}, {"cosmic", false},
                                 {"grid", false},  {"radial", false}, {"stat", true}};

void redirect_stdin(const std::string& name) {
    prg_printf("input redirected to '%s'\n", name.c_str());
    if (!std::freopen(name.c_str(), "r", stdin))
        v_error("zandor", "unable to open redirected input '%s'", name.c_str());
    run.stdin_redirected = true;
}

// The diffractometer log must exist; it stays open and is not read here. A
// FIFO or device would block the start-up: only regular files are taken.
void check_spec_file() {
    prg_printf("spec file to be seached '%s'\n", run.spec_name.c_str());
    struct stat st;
    if (::stat(run.spec_name.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        v_fatal("zandor", "unable to open spec file '%s' (not a regular file)", run.spec_name.c_str());
    std::FILE* fp = std::fopen(run.spec_name.c_str(), "r");
    if (!fp) v_error("zandor", "unable to open spec file '%s'", run.spec_name.c_str());
    if (run.spec_file) std::fclose(run.spec_file);
    run.spec_file = fp;
    prg_note_input(run.spec_name);
}

// True unless the line is blank or a comment.
bool carries_setting(const std::string& line) {
    const size_t start = line.find_first_not_of(" \r");
    return start != std::string::npos && line[start] != '#';
}

} // namespace

void parameter(std::FILE* stream) {
    // STDIN applies at the end of the file that holds it; a file reached by
    // FILE keeps its own.
    const std::string enclosing_stdin = std::exchange(run.stdin_name, std::string());
    bool stdin_given = false; // a STDIN line with an empty value is still tried, and refused
    std::string line;
    bool complete = false;
    while (prg_readline(stream, line, complete)) {
        // A last line without its line feed is not used.
        if (!complete) {
            if (carries_setting(line))
                prg_warning("last settings line '%s' has no line feed and is not used", line.c_str());
            break;
        }
        IniTag tag;
        if (!prg_initag(line, tag)) continue;
        if (tag.key == "STDIN" && tag.has_value) stdin_given = true;
        if (!offer_to_chain(tag))
            warn_untaken_key(tag.key);
        else if (!tag.has_value)
            prg_warning("settings line '%s' has no '=' and sets nothing", tag.key.c_str());
    }
    if (stdin_given) redirect_stdin(run.stdin_name);
    run.stdin_name = enclosing_stdin;
    if (!run.spec_name.empty()) check_spec_file();
}

void settings_defaults() {
    for (const SettingsModule& module : kSettingsChain)
        if (module.defaults) module.defaults();
}

void settings_usage(const std::string& message, const std::string& word) {
    const bool selective = word.find("--usage=") != std::string::npos;
    for (const HelpTopic& topic : kHelpTopics) {
        if (!topic.always && selective && word.find(topic.name) == std::string::npos) continue;
        if (std::strcmp(topic.name, "other") == 0) prg_iniuse(message);
        for (const SettingsModule& module : kSettingsChain)
            if (in_chain(module) && module.usage && std::strcmp(module.topic, topic.name) == 0)
                module.usage();
    }
}
