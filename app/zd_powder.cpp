#include "zd_powder.hpp"

#include "xy_header_geometry.hpp"
#include "xy_powder.hpp"
#include "zd_driver.hpp"
#include "zd_run.hpp"

#include <cmath>
#include <cstdlib>
#include <unistd.h>
#include <vector>

thread_local PowderSettings powder_set;

namespace {

const char* const kOrigin = "zd_powder";

// ---------------------------------------------------------------- geometry

// A value of the geometry and where it came from.
struct Sourced {
    double value = 0.0;
    std::string source; // empty: not known
};

Sourced from_setting(double value, const char* key) {
    return {value, prg_format("setting %s", key)};
}

Sourced from_header(const HeaderValue& v, const char* assumed_unit) {
    if (!v.known()) return {};
    std::string source = "header " + v.source;
    if (v.unit_assumed) source += prg_format(" (no unit: %s assumed)", assumed_unit);
    return {v.value, source};
}

// The geometry in detector pixels, before region, binning and orientation.
struct DetectorGeometry {
    Sourced distance, pixel_x, pixel_y, beam_x, beam_y, wavelength;
};

DetectorGeometry resolve_geometry(const HeaderGeometry& h, bool needs_wavelength, double lambda,
                                  const std::string& file) {
    const PowderSettings& s = powder_set;
    DetectorGeometry g;
    g.distance = s.distance_given ? from_setting(s.distance, "DISTANCE") : from_header(h.distance, "mm");
    if (s.pixel_size_given) {
        g.pixel_x = from_setting(s.pixel_size[0], "PIXEL_SIZE");
        g.pixel_y = from_setting(s.pixel_size[1], "PIXEL_SIZE");
    } else {
        g.pixel_x = from_header(h.pixel_x, "mm");
        g.pixel_y = from_header(h.pixel_y.known() ? h.pixel_y : h.pixel_x, "mm");
    }
    if (s.beam_center_given) {
        g.beam_x = from_setting(s.beam_center[0], "BEAM_CENTER");
        g.beam_y = from_setting(s.beam_center[1], "BEAM_CENTER");
    } else if (h.beam_known()) {
        const char* unit = h.beam_in_mm ? "mm" : "pixels";
        g.beam_x = from_header(h.beam_x, unit);
        g.beam_y = from_header(h.beam_y, unit);
        // A centre in mm from the detector's corner, in pixels.
        if (h.beam_in_mm && !g.pixel_x.source.empty() && !g.pixel_y.source.empty()) {
            g.beam_x.value /= g.pixel_x.value;
            g.beam_y.value /= g.pixel_y.value;
            g.beam_x.source += ", divided by the pixel width";
            g.beam_y.source += ", divided by the pixel height";
        } else if (h.beam_in_mm) {
            g.beam_x = g.beam_y = Sourced();
        }
    }
    g.wavelength = s.wavelength_given ? from_setting(lambda, "LAMBDA") : from_header(h.wavelength, "A");

    std::string missing;
    const auto need = [&missing](const Sourced& v, const char* what) {
        if (v.source.empty()) missing += missing.empty() ? what : std::string(", ") + what;
    };
    need(g.distance, "DISTANCE (mm)");
    need(g.pixel_x, "PIXEL_SIZE (mm)");
    need(g.beam_x, "BEAM_CENTER (pixels)");
    if (needs_wavelength) need(g.wavelength, "LAMBDA (A)");
    if (!missing.empty())
        v_fatal(kOrigin, "the powder profile needs %s: neither the settings nor the header of '%s' give it",
                missing.c_str(), file.c_str());
    return g;
}

// The geometry of the image: pixels binned, the centre through the region,
// binning and orientation as ORIG goes for the radial distribution.
PowderGeometry image_geometry(const DetectorGeometry& d, const IMG& img) {
    PowderGeometry g;
    g.distance = d.distance.value;
    g.pixel[0] = d.pixel_x.value * std::max(img.x_bind, 1);
    g.pixel[1] = d.pixel_y.value * std::max(img.y_bind, 1);
    g.centre[0] = (d.beam_x.value - img.x_min) / std::max(img.x_bind, 1);
    g.centre[1] = (d.beam_y.value - img.y_min) / std::max(img.y_bind, 1);
    xy_orien_pixel(img, g.centre[0], g.centre[1]);
    g.wavelength = d.wavelength.source.empty() ? 0.0 : d.wavelength.value;
    return g;
}

// ---------------------------------------------------------------- options

PowderOptions profile_options() {
    const PowderSettings& s = powder_set;
    PowderOptions o;
    if (!powder_unit_by_name(s.unit, o.unit))
        v_fatal(kOrigin, "POWDER_UNIT = %s is not a unit: 2TH, Q, Q_NM, D or R", s.unit.c_str());
    if (s.bins < 0) v_fatal(kOrigin, "POWDER_BINS = %d is not a number of bins", s.bins);
    o.bins = s.bins;
    o.range_given = s.range_given;
    o.lo = s.range[0];
    o.hi = s.range[1];
    o.solid_angle = s.solid_angle != 0;
    o.polarisation = s.polarisation_given;
    o.polarisation_factor = s.polarisation;
    o.threads = drv.job.reading.threads;
    if (o.polarisation && !(s.polarisation >= -1.0 && s.polarisation <= 1.0))
        v_fatal(kOrigin, "POLARIZATION = %g is not a polarisation factor (-1 to 1)", s.polarisation);
    return o;
}

// POWDER_SECTORS: pairs of azimuths "from to" (degrees), to - from in 0..360.
std::vector<AzimuthRange> parse_sectors(const std::string& text) {
    std::vector<double> values;
    const char* p = text.c_str();
    while (true) {
        while (*p == ' ' || *p == ',' || *p == '\t')
            ++p;
        if (!*p) break;
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || !std::isfinite(v))
            v_fatal(kOrigin, "POWDER_SECTORS = %s: '%s' is not an angle", text.c_str(), p);
        values.push_back(v);
        p = end;
    }
    if (values.size() % 2 != 0)
        v_fatal(kOrigin, "POWDER_SECTORS = %s: azimuths go by pairs (from to)", text.c_str());
    std::vector<AzimuthRange> sectors;
    for (size_t i = 0; i < values.size(); i += 2) {
        if (!(values[i + 1] > values[i] && values[i + 1] - values[i] <= 360.0))
            v_fatal(kOrigin, "POWDER_SECTORS = %s: sector %g to %g is empty or wider than 360 degrees",
                    text.c_str(), values[i], values[i + 1]);
        sectors.push_back({values[i], values[i + 1]});
    }
    return sectors;
}

// ---------------------------------------------------------------- outputs

// The names of the outputs: `base` + ".xy" (or "_sector<k>.xy"), the NeXus
// file when asked, the plot base + ".png".
struct OutputNames {
    std::string base;
    std::string nexus; // empty: none
};

bool is_nexus_extension(const std::string& ext) {
    return ext == ".h5" || ext == ".hdf5" || ext == ".nxs";
}

OutputNames output_names(const std::string& argument, const std::string& out_dir, const IMG& image) {
    OutputNames names;
    if (argument.empty()) {
        names.base = prg_result_name(out_dir, image.name, correction_suffix(!drv.g_name.empty()));
        return names;
    }
    std::string name = argument;
    if (name.find('/') == std::string::npos && !out_dir.empty())
        name = out_dir + (out_dir.back() == '/' ? "" : "/") + name;
    const size_t leaf = name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1;
    const size_t dot = name.rfind('.');
    const std::string ext = dot != std::string::npos && dot > leaf ? name.substr(dot) : "";
    if (is_nexus_extension(ext)) names.nexus = name;
    names.base = is_nexus_extension(ext) || ext == ".xy" ? name.substr(0, dot) : name;
    return names;
}

void write_bytes(const std::string& name, const void* bytes, size_t size) {
    AtomicOutFile out(name);
    if (!out.is_open()) v_error(kOrigin, "unable to create %s", name.c_str());
    if (std::fwrite(bytes, 1, size, out.get()) != size || !out.commit())
        v_error(kOrigin, "unable to write %s", name.c_str());
}

void write_xy(const std::string& name, const PowderProfile& p, const std::vector<std::string>& comments) {
    AtomicOutFile out(name);
    if (!out.is_open()) v_error(kOrigin, "unable to create the profile file %s", name.c_str());
    powder_write_xy(out.get(), p, comments);
    if (!out.commit()) v_error(kOrigin, "unable to write the profile file %s", name.c_str());
}

// ---------------------------------------------------------------- the plot

std::string program_on_path(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// A text as a gnuplot string in single quotes (a quote is doubled).
std::string gnuplot_quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

std::string plot_script(const std::vector<std::string>& files, const std::vector<std::string>& titles,
                        PowderUnit unit, const std::string& title) {
    std::string script = "set terminal png size 900,560\nset output\nset grid\n";
    script += "set title " + gnuplot_quoted(title) + " noenhanced\n";
    script += "set xlabel " + gnuplot_quoted(powder_axis_title(unit)) + " noenhanced\n";
    script += "set ylabel 'intensity per pixel' noenhanced\nplot ";
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string file = gnuplot_quoted(files[i]);
        script += (i ? ", " : "") + file + " using 1:2:3 with yerrorbars title " + gnuplot_quoted(titles[i]) +
                  " noenhanced, " + file + " using 1:2 with lines notitle";
    }
    return script + "\n";
}

// Runs gnuplot on the script and writes the picture it prints; a one-line
// note when gnuplot is not there or fails.
void plot_profiles(const std::string& png, const std::string& script) {
    const std::string gnuplot = program_on_path("gnuplot");
    if (gnuplot.empty() || gnuplot.find('\'') != std::string::npos) {
        prg_notice("# gnuplot not found: no plot %s\n", png.c_str());
        return;
    }
    char script_name[] = "/tmp/zandor_plot_XXXXXX";
    const int fd = ::mkstemp(script_name);
    const bool written =
        fd >= 0 && ::write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    if (fd >= 0) ::close(fd);
    if (!written) {
        if (fd >= 0) ::unlink(script_name);
        prg_notice("# no plot %s: cannot write its script\n", png.c_str());
        return;
    }
    std::string picture;
    std::fflush(stdout);
    std::FILE* pipe = ::popen(("'" + gnuplot + "' " + script_name).c_str(), "r");
    if (pipe) {
        char buf[1 << 14];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
            picture.append(buf, n);
    }
    const int status = pipe ? ::pclose(pipe) : -1;
    ::unlink(script_name);
    if (status != 0 || picture.empty()) {
        prg_notice("# gnuplot failed: no plot %s\n", png.c_str());
        return;
    }
    write_bytes(png, picture.data(), picture.size());
    prg_printf("# profile plotted in %s\n", png.c_str());
}

// ---------------------------------------------------------------- report

std::string value_line(const char* what, const Sourced& v, const char* unit) {
    return prg_format("%s %.6g %s (%s)", what, v.value, unit, v.source.c_str());
}

std::vector<std::string> geometry_lines(const DetectorGeometry& d, const PowderGeometry& g) {
    std::vector<std::string> lines;
    lines.push_back(value_line("distance", d.distance, "mm"));
    lines.push_back(
        prg_format("pixel %.6g x %.6g mm (%s)", d.pixel_x.value, d.pixel_y.value, d.pixel_x.source.c_str()));
    lines.push_back(prg_format("beam centre %.6g %.6g pixels -> %.6g %.6g in the image (%s)", d.beam_x.value,
                               d.beam_y.value, g.centre[0], g.centre[1], d.beam_x.source.c_str()));
    if (!d.wavelength.source.empty())
        lines.push_back(value_line("wavelength", d.wavelength, "A"));
    else
        lines.push_back("wavelength not known (not needed in this unit)");
    return lines;
}

std::string corrections_line(const PowderOptions& o) {
    std::string line = "corrections:";
    if (o.solid_angle) line += " solid angle (cos^3 2theta)";
    if (o.polarisation)
        line += prg_format("%s polarisation (factor %g)", o.solid_angle ? "," : "", o.polarisation_factor);
    if (!o.solid_angle && !o.polarisation) line += " none";
    return line;
}

} // namespace

// ---------------------------------------------------------------- settings

void powder_usage() {
    prg_notice("  powder profile (%%Q), centred on the beam (flat detector, no tilt)\n"
               " DISTANCE = sample to detector distance (mm), else from the file header\n"
               " PIXEL_SIZE = pixel width [height] (mm), else from the file header\n"
               " BEAM_CENTER = beam centre x y (detector pixels, as ORIG), else from the file header\n"
               " LAMBDA = wavelength (A), for q and d, else from the file header\n"
               " POWDER_UNIT = 2TH (degrees, default), Q (1/A), Q_NM (1/nm), D (A) or R (mm)\n"
               " POWDER_BINS = number of bins (0: one per pixel of the largest radius)\n"
               " POWDER_RANGE = lo hi, range of the bins in the unit (default: the whole detector)\n"
               " SOLID_ANGLE = 1 to divide by cos^3(2theta)\n"
               " POLARIZATION = f, polarisation factor (-1..1), switches the correction on\n"
               " POWDER_SECTORS = from to [from to ...], azimuth ranges (degrees): one profile each\n"
               " POWDER_PLOT = 0 to write no plot (default 1: a .png with gnuplot)\n");
}

bool observe_powder_wavelength(const IniTag& tag) {
    if (!tag.census && tag.key == "LAMBDA" && tag.has_value) powder_set.wavelength_given = true;
    return false;
}

bool ini_powder(const IniTag& t) {
    PowderSettings& s = powder_set;
    double pair[2] = {0.0, 0.0};
    if (prg_inidbln(t, "DISTANCE", &s.distance, 1)) {
        s.distance_given = t.has_value;
        return true;
    }
    if (prg_inidbln(t, "PIXEL_SIZE", pair, 2)) {
        s.pixel_size[0] = pair[0];
        s.pixel_size[1] = pair[1] != 0.0 ? pair[1] : pair[0];
        s.pixel_size_given = t.has_value;
        return true;
    }
    if (prg_inidbln(t, "BEAM_CENTER", s.beam_center, 2)) {
        s.beam_center_given = t.has_value;
        return true;
    }
    if (prg_inidbln(t, "POWDER_RANGE", s.range, 2)) {
        s.range_given = t.has_value;
        return true;
    }
    if (prg_inidbln(t, "POLARIZATION", &s.polarisation, 1)) {
        s.polarisation_given = t.has_value;
        return true;
    }
    return prg_inistr(t, "POWDER_UNIT", s.unit) || prg_iniint(t, "POWDER_BINS", s.bins) ||
           prg_iniint(t, "SOLID_ANGLE", s.solid_angle) || prg_inistr(t, "POWDER_SECTORS", s.sectors) ||
           prg_iniint(t, "POWDER_PLOT", s.plot);
}

// ---------------------------------------------------------------- the command

void powder(const std::string& argument, const std::string& out_dir, const IMG& image, double wavelength) {
    if (image.data.empty()) v_fatal(kOrigin, "no data for a powder profile");
    const PowderOptions options = profile_options();
    const std::vector<AzimuthRange> sectors = parse_sectors(powder_set.sectors);
    const HeaderGeometry header = image.hdr ? xy_header_geometry(*image.hdr) : HeaderGeometry();
    const std::string file = image.hdr ? image.hdr->file_name : image.name;
    const DetectorGeometry detector =
        resolve_geometry(header, powder_unit_needs_wavelength(options.unit), wavelength, file);
    const PowderGeometry geometry = image_geometry(detector, image);
    const OutputNames names = output_names(argument, out_dir, image);

    std::vector<std::string> comments = {
        prg_format("powder profile of %s (%s)", image.name.c_str(), drv.i_name.c_str())};
    for (const std::string& line : geometry_lines(detector, geometry))
        comments.push_back(line);
    comments.push_back(corrections_line(options));
    for (size_t i = 1; i < comments.size(); ++i)
        prg_printf("# %s\n", comments[i].c_str());

    std::vector<PowderProfile> profiles;
    std::vector<std::string> files, groups, titles;
    const size_t count = sectors.empty() ? 1 : sectors.size();
    for (size_t i = 0; i < count; ++i) {
        const AzimuthRange* sector = sectors.empty() ? nullptr : &sectors[i];
        profiles.push_back(powder_profile(image, geometry, options, sector));
        const std::string suffix = sector ? prg_format("_sector%zu", i + 1) : "";
        files.push_back(names.base + suffix + ".xy");
        groups.push_back(sector ? prg_format("sector%zu", i + 1) : "profile");
        titles.push_back(sector ? prg_format("azimuth %g to %g deg", sector->from, sector->to)
                                : "all azimuths");
        const PowderProfile& p = profiles.back();
        std::vector<std::string> lines = comments;
        lines.push_back(prg_format("%s from %.6g to %.6g in %d bins, %zu filled, %s",
                                   powder_unit_label(p.unit), p.lo, p.hi, p.bins, p.filled.size(),
                                   titles.back().c_str()));
        write_xy(files.back(), p, lines);
        prg_printf("# %s\n# %zu bins written in %s\n", lines.back().c_str(), p.filled.size(),
                   files.back().c_str());
    }
    if (!names.nexus.empty()) {
        const std::vector<unsigned char> bytes = powder_nexus_image(profiles, groups);
        write_bytes(names.nexus, bytes.data(), bytes.size());
        prg_printf("# NeXus profile written in %s\n", names.nexus.c_str());
    }
    if (powder_set.plot != 0)
        plot_profiles(names.base + ".png",
                      plot_script(files, titles, options.unit, prg_basename(image.name)));
}
