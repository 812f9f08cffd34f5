#include "zd_summary.hpp"

#include <nlohmann/json.hpp>

#include <vector>

namespace {

using nlohmann::ordered_json;

struct ImageWord {
    std::string word;
    std::vector<std::string> files;
    int32_t frames = 0;
    int32_t saturated = 0;
    int32_t cosmic_time = 0;
    int32_t cosmic_space = 0;
    int32_t rescaled = 0;
    int32_t repaired = 0;
};

struct Output {
    std::string path;
    std::string writer;
    int32_t depth = 0;
    int64_t offset = 0;
    double scale = 1.0;
};

struct NamedImage {
    std::string name; // empty: none in force
    int32_t frames = 0;
};

struct SummaryState {
    std::string path; // SUMMARY
    std::vector<ImageWord> images;
    NamedImage dark;
    NamedImage flat;
    bool grid = false;
    std::vector<Output> outputs;
};
thread_local SummaryState summary;

ImageWord& current_word() {
    if (summary.images.empty()) summary.images.emplace_back(); // files read outside an image word
    return summary.images.back();
}

ordered_json named(const NamedImage& image) {
    if (image.name.empty()) return nullptr;
    return {{"name", image.name}, {"frames", image.frames}};
}

ordered_json statistics(const IMG& img) {
    return {{"name", img.name},   {"frames", img.frames}, {"mean", img.mean},       {"sigma", img.sigma},
            {"min", img.min},     {"min_x", img.min_x},   {"min_y", img.min_y},     {"max", img.max},
            {"max_x", img.max_x}, {"max_y", img.max_y},   {"nonzero", img.nonzero}, {"used", img.used}};
}

ordered_json document(IMG& image, const std::string& version) {
    ordered_json doc;
    doc["program"] = prg_state().name;
    doc["version"] = version;
    doc["settings_files"] = prg_settings_files();
    ordered_json words = ordered_json::array();
    for (const ImageWord& w : summary.images)
        words.push_back({{"word", w.word},
                         {"files", w.files},
                         {"frames", w.frames},
                         {"saturated", w.saturated},
                         {"cosmic_time", w.cosmic_time},
                         {"cosmic_space", w.cosmic_space},
                         {"rescaled", w.rescaled},
                         {"repaired", w.repaired}});
    doc["images"] = words;
    doc["dark"] = named(summary.dark);
    doc["flat"] = named(summary.flat);
    doc["grid"] = summary.grid;
    ordered_json outputs = ordered_json::array();
    for (const Output& o : summary.outputs)
        outputs.push_back({{"path", o.path},
                           {"writer", o.writer},
                           {"depth", o.depth},
                           {"offset", o.offset},
                           {"scale", o.scale}});
    doc["outputs"] = outputs;
    doc["files_written"] = prg_files_written();
    if (image.data.empty()) {
        doc["final_image"] = nullptr;
    } else {
        xy_info(image, INFO_ALL);
        doc["final_image"] = statistics(image);
    }
    return doc;
}

} // namespace

bool take_summary_key(const IniTag& tag) {
    return prg_inistr(tag, "SUMMARY", summary.path);
}

void summary_usage() {
    std::fputs(" SUMMARY = file.json : machine-readable summary of the run (empty: none)\n", stderr);
}

void summary_reset() {
    summary = SummaryState();
}

void summary_image_word(const std::string& word) {
    ImageWord w;
    w.word = word;
    summary.images.push_back(std::move(w));
}

std::vector<std::string> summary_image_words() {
    std::vector<std::string> words;
    for (const ImageWord& w : summary.images)
        if (!w.word.empty()) words.push_back(w.word);
    return words;
}

void summary_file_read(const std::string& name) {
    current_word().files.push_back(name);
}

void summary_pixels_rescaled(int32_t count) {
    current_word().rescaled += count;
}

void summary_image_done(const IMG& img) {
    ImageWord& w = current_word();
    w.frames = img.frames;
    w.saturated = img.n_saturated;
    w.cosmic_time = img.n_time;
    w.cosmic_space = img.n_space;
    w.repaired = img.n_low;
}

void summary_dark(const std::string& name, int32_t frames) {
    summary.dark = {name, frames};
}

void summary_flat(const std::string& name, int32_t frames) {
    summary.flat = {name, frames};
}

void summary_grid_applied() {
    summary.grid = true;
}

void summary_output(const std::string& path, const std::string& writer, int32_t depth, int64_t offset,
                    double scale) {
    summary.outputs.push_back({path, writer, depth, offset, scale});
}

std::string summary_text(IMG& image, const std::string& version) {
    return document(image, version).dump(2) + "\n";
}

void summary_write(IMG& image, const std::string& version) {
    if (summary.path.empty()) return;
    const std::string text = summary_text(image, version);
    AtomicOutFile out(summary.path);
    if (!out.is_open()) v_error("zandor", "unable to open the summary file %s", summary.path.c_str());
    if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() || !out.commit())
        v_error("zandor", "writing the summary file %s failed", summary.path.c_str());
}
