// The "%" operations on the working image: arithmetic, grid correction,
// output, and the normalisation coefficient read from an external script.
#include "zd_ops.hpp"

#include "nexus_writer.hpp"
#include "xy_pixel.hpp"
#include "xy_resample.hpp"
#include "zd_driver.hpp"
#include "zd_metadata.hpp"
#include "zd_run.hpp"
#include "zd_summary.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void require_data(const IMG& img, const char* message) {
    if (img.data.empty()) v_fatal("zandor", "%s", message);
}

std::string skip_one_equals(const std::string& text) {
    return !text.empty() && text[0] == '=' ? text.substr(1) : text;
}

// The number that begins `text`; `found` tells whether there was one.
double leading_number(const std::string& text, bool& found) {
    const char* start = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    found = end != start;
    return found ? v : 0.0;
}

// A value that is not a number would silently turn the image into zeros (or
// leave it unchanged): it is refused.
double required_number(const std::string& text, const char* command) {
    bool found = false;
    const double v = leading_number(text, found);
    if (!found) v_fatal("zandor", "%s: '%s' is not a number", command, text.c_str());
    if (!std::isfinite(v)) v_fatal("zandor", "%s: '%s' is not a finite number", command, text.c_str());
    return v;
}

double operand_value(const std::string& text, const IMG& img, const char* command) {
    if (contains(text, "SPEC")) return spec2xl(text, img);
    return required_number(text, command);
}

template <class Op> void apply_to_pixels(IMG& img, const char* operation, Op op) {
    for (size_t i = 0; i < img.data.size(); ++i)
        img.data[i] =
            pixel_from_double(op(static_cast<double>(img.data[i])), operation, static_cast<int64_t>(i));
}

// ---------------------------------------------------------------- output names

// True when both names exist and are the same file.
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The name a writer will really write: it appends its extension when absent.
std::string written_file(const std::string& out_name, const XyWriter& w) {
    return contains(out_name, w.extension) ? out_name : out_name + w.extension;
}

// A default output name never replaces the file the image was read from.
bool default_name_hits_input(const std::string& s, const std::string& out_name, const IMG& img,
                             const XyWriter& w) {
    const std::string cut_name = img.name.substr(0, img.name.find('.'));
    if (s.empty() && contains(img.name, ".kvf") && cut_name == out_name) return true;
    // "%X", "%X.tif" and "%Xdir/" all take their base name from the image.
    const bool default_base = prg_basename(s).empty();
    if (!default_base) return false;
    const std::string target = written_file(out_name, w);
    return same_file(target, img.name) || (img.hdr && same_file(target, img.hdr->file_name));
}

// A name the user wrote keeps everything up to its last "." ("run_2.5K_sum.tif"
// gives "run_2.5K_sum", to which the writer adds ".tif"); a default name is
// made from the image's name as before.
std::string chosen_name(const std::string& s, const std::string& out_dir, const IMG& img) {
    if (prg_basename(s).empty()) return prg_outname(s, img.name, "", out_dir);
    const std::string dir = prg_pathname(s);
    return prg_result_name(dir.empty() ? out_dir : dir, s, "");
}

std::string output_name(const std::string& s, const std::string& out_dir, const IMG& img, const XyWriter& w) {
    std::string name = chosen_name(s, out_dir, img);
    if (s.empty() || s[0] == '.' || s.find('.', 1) == std::string::npos) {
        name += correction_suffix(drv.grid_done);
    }
    if (default_name_hits_input(s, name, img, w)) name += "_x";
    // Nor any other file the run has read: the dark, the flat, the other
    // files of a series, a mask, the settings, the diffractometer log.
    if (prg_basename(s).empty()) {
        const std::string target = written_file(name, w);
        const std::string read_as = prg_input_named(target);
        if (!read_as.empty())
            v_fatal("zandor", "the default output name '%s' would replace '%s', which this run has read",
                    target.c_str(), read_as.c_str());
    }
    return name;
}

// ---------------------------------------------------------------- normalisation script

// Ordinary names are passed as they are; a name with any shell character is
// quoted so that it reaches the script as one literal word.
std::string shell_word(const std::string& word) {
    const char* safe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-./+,:=@%";
    if (!word.empty() && word.find_first_not_of(safe) == std::string::npos) return word;
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string last_line_of(const std::string& file_name) {
    std::FILE* fp = std::fopen(file_name.c_str(), "r");
    if (!fp) v_error("zandor", "normalisation output '%s' was not written", file_name.c_str());
    std::string line, last;
    bool complete = false;
    bool any = false;
    while (prg_readline(fp, line, complete)) {
        last = line;
        any = true;
    }
    std::fclose(fp);
    if (!any) v_fatal("zandor", "normalisation output '%s' is empty", file_name.c_str());
    return last;
}

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    const char* blanks = " \t\r\n";
    size_t p = line.find_first_not_of(blanks);
    while (p != std::string::npos) {
        const size_t end = line.find_first_of(blanks, p);
        words.push_back(line.substr(p, end == std::string::npos ? std::string::npos : end - p));
        p = end == std::string::npos ? end : line.find_first_not_of(blanks, end);
    }
    return words;
}

double script_value(const std::string& file_name) {
    const std::string line = last_line_of(file_name);
    const std::vector<std::string> words = words_of(line);
    if (run.xl_col < 0 || static_cast<size_t>(run.xl_col) >= words.size())
        v_fatal("zandor", "XL_COL = %d but the last line of '%s' has %zu word(s): '%s'", run.xl_col,
                file_name.c_str(), words.size(), line.c_str());
    const std::string& word = words[static_cast<size_t>(run.xl_col)];
    bool found = false;
    const double b = leading_number(word, found);
    if (!found || !std::isfinite(b))
        v_fatal("zandor", "column %d of the last line of '%s' is '%s', not a number", run.xl_col,
                file_name.c_str(), word.c_str());
    return b;
}

} // namespace

void add_image(const std::string& text, IMG& img) {
    require_data(img, "no data to process");
    const std::string t = skip_one_equals(text);
    const double value = operand_value(t, img, "%A");
    prg_screen(" adding %lg to counts on image\n", value);
    apply_to_pixels(img, "%A", [value](double v) { return v + value; });
}

void mul_image(const std::string& text, IMG& img) {
    require_data(img, "no data to process");
    const std::string t = skip_one_equals(text);
    const double value = operand_value(t, img, "%M");
    prg_screen(" multiplying counts on image by %lg\n", value);
    apply_to_pixels(img, "%M", [value](double v) { return v * value; });
}

void cut_image(const std::string& text, IMG& img) {
    require_data(img, "no data to process");
    xy_info(img, INFO_MEAN);
    const double mean = img.mean;
    const std::string t = skip_one_equals(text);
    if (t.empty() || t[0] != ',') {
        const double h = required_number(t, "%C");
        const int32_t high = pixel_from_double(h * mean, "%C upper threshold", -1);
        prg_printf("# truncating values higher than  to %d=%.1lf*%.1lf(=mean)\n", high, h, mean);
        for (int32_t& v : img.data)
            if (v > high) v = high;
    }
    const size_t comma = t.find(',');
    if (comma != std::string::npos && comma + 1 < t.size()) {
        const double l = required_number(t.substr(comma + 1), "%C");
        const int32_t low = pixel_from_double(l * mean, "%C lower threshold", -1);
        prg_printf("# truncating values lower than  to %d=%.1lf*%.1lf(=mean)\n", low, l, mean);
        for (int32_t& v : img.data)
            if (v < low) v = low;
    }
}

void sca_image(const std::string& text, IMG& img) {
    require_data(img, "no data to process");
    xy_info(img, INFO_MAX);
    const double f = required_number(skip_one_equals(text), "%S");
    prg_printf("# rescaling %lf : %d(=maxi) to %.0lf\n", f, img.max, img.max * f);
    apply_to_pixels(img, "%S", [f](double v) { return v * f; });
}

void grid_image(const std::string&, IMG& img) {
    require_data(img, "no data to process");
    if (drv.grid_done) v_fatal("zandor", "grid correction soon applied");
    if (drv.g_name.empty()) drv.g_name = "GRID_AUTO";
    grid_cor_img(drv.job.grid, img, drv.job.reading.threads);
    drv.grid_done = true;
    summary_grid_applied();
}

void put_image(const std::string& text, const std::string& out_dir, IMG& img) {
    require_data(img, "no data to write");
    const char letter = text.empty() ? 'X' : text[0];
    const int32_t bits = letter == 'Y' ? 1 : letter == 'Z' ? 2 : 0;
    const std::string s = skip_one_equals(text.size() > 1 ? text.substr(1) : std::string());
    // A name without a writer's marker is written as a native file.
    const XyWriter& writer = xy_writer_for(s, "kvf");
    const std::string out_name = output_name(s, out_dir, img, writer);
    XyWriteOptions options;
    options.depth_mode = bits;
    options.cr_mode = run.cr_mode;
    options.kvf_type = run.t_mode;
    options.tiff_type = run.tiff_type;
    options.h5_type = run.h5_type;
    options.h5_compression = run.h5_compression;
    options.preview_scale = run.preview_scale;
    options.threads = drv.job.reading.threads;
    if (writer.write == h5_writer.write) options.metadata = output_metadata(img);
    writer.write(img, out_name, options);
    const OutputDepth d = writer.depth(img, options);
    summary_output(written_file(out_name, writer), writer.label, d.bits, d.offset,
                   d.scale == 0.0 ? 1.0 : d.scale);
}

double spec2xl(const std::string& text, const IMG& img) {
    bool found = false;
    const double a = leading_number(text, found);
    if (run.wspec2xl.empty())
        v_fatal("zandor", "normalisation '%s' needs the WSPEC2XL setting", text.c_str());
    if (run.spec_name.empty()) v_fatal("zandor", "normalisation '%s' needs the SPEC setting", text.c_str());

    const std::string image_name = prg_basename(img.name);
    const std::string out_file = prg_format("%s.SPEC", prg_state().name.c_str());
    // The command's output replaces this file: it must not be one the run reads.
    const std::string read_as = prg_input_named(out_file);
    if (!read_as.empty())
        v_fatal("zandor", "normalisation output '%s' would replace '%s', which this run reads (SPEC?)",
                out_file.c_str(), read_as.c_str());
    ::unlink(out_file.c_str());
    const std::string tail = " " + shell_word(run.spec_name) + " >" + shell_word(out_file);
    std::string line;
    const size_t star = run.wspec2xl.rfind('*');
    if (star != std::string::npos) {
        line = run.wspec2xl.substr(0, star) + shell_word(image_name) + run.wspec2xl.substr(star + 1) + tail;
        prg_screen("# running(*) '%s'\n", line.c_str());
    } else {
        line = run.wspec2xl + shell_word(image_name) + tail;
        prg_screen("# running '%s'\n", line.c_str());
    }
    prg_flush_messages();
    errno = 0;
    if (std::system(line.c_str()) == -1) v_error("zandor", "unable to run '%s'", line.c_str());

    const double b = script_value(out_file);
    double coefficient = b;
    if (contains(text, "/SPEC"))
        coefficient = a / b;
    else if (contains(text, "*SPEC"))
        coefficient = a * b;
    else if (contains(text, "+SPEC"))
        coefficient = a + b;
    else if (contains(text, "-SPEC"))
        coefficient = a - b;
    if (!std::isfinite(coefficient))
        v_fatal("zandor", "normalisation coefficient %lg from %lg and %lg is not finite", coefficient, a, b);
    prg_screen("# using %.4lg/%.4lg=%.6lg as coefficient\n", a, b, coefficient);
    return coefficient;
}
