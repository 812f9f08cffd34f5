// Acquisition of one image word (a file or a series), the correction step on the summed
// counts, and the dark / flat / low-limit correction with the accumulation
// into the working image.
#include "zd_acquire.hpp"

#include "xy_pixel.hpp"
#include "zd_driver.hpp"
#include "zd_ops.hpp"
#include "zd_progress.hpp"
#include "zd_run.hpp"
#include "zd_summary.hpp"

#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr int32_t kDumpLimit = 8192;

std::FILE* report_stream() {
    return drv.out_cosmic ? drv.out_cosmic : stdout;
}

// The cosmic-ray report of a file: standard output with O_COSMIC = STDOUT, a
// ".cosmic" file when a report bit is set, otherwise whatever was in force.
void open_cosmic_report(const std::string& file_name) {
    if (run.o_cosmic.find("STDOUT") != std::string::npos) {
        drv.out_cosmic = stdout;
        return;
    }
    if (!(run.print & PRINT_COSMIC_REPORT)) return;
    const std::string name = prg_outname(run.o_cosmic, file_name, ".cosmic", run.out);
    std::FILE* fp = std::fopen(name.c_str(), "w");
    if (!fp) {
        drv.out_cosmic = stdout;
        return;
    }
    drv.report_files.emplace_back(fp);
    drv.out_cosmic = fp;
}

// A file must have the frame size of the geometry in force, or its rows would
// be read with the wrong stride.
void check_file_matches_geometry(const IMG& img) {
    const HDR& hdr = *img.hdr;
    if (img.size != 0 && (hdr.dim_x != img.dim_x || hdr.dim_y != img.dim_y))
        v_fatal("zandor", "file '%s' has frames of %d * %d pixels, the image in progress uses %d * %d",
                hdr.file_name.c_str(), hdr.dim_x, hdr.dim_y, img.dim_x, img.dim_y);
}

// The recorded name carries the frame number with DFORMAT digits.
std::string recorded_name(const std::string& dir, const SeriesName& s, int64_t number) {
    if (run.dformat < 0 || run.dformat > 18)
        v_fatal("zandor", "DFORMAT = %d: the frame number needs 0 to 18 digits", run.dformat);
    return xy_cur_name(dir, s.base + prg_format("%0*lld", run.dformat, static_cast<long long>(number)), s.ext,
                       0, 0);
}

struct MergedPlanes {
    std::vector<int32_t> data;
    std::vector<uint16_t> frame;
    int64_t plane = 0; // pixels of one file
};

int64_t merged_pixels(const IMG& img, int32_t files) {
    const int64_t total = static_cast<int64_t>(img.size) * files;
    if (total > INT32_MAX)
        v_fatal("zandor", "merging %d files of %d pixels gives %lld pixels, more than a 32-bit image holds",
                files, img.size, static_cast<long long>(total));
    return total;
}

void allocate_merged(MergedPlanes& merged, const IMG& img, int32_t files) {
    merged.plane = img.size;
    const int64_t total = merged_pixels(img, files);
    try {
        merged.data.assign(static_cast<size_t>(total), 0);
        merged.frame.assign(static_cast<size_t>(total), 0);
    } catch (const std::bad_alloc&) {
        v_fatal("zandor", "allocating whole image memory");
    }
}

// Every later file of a merged series must exist as a regular file before the
// merged planes are sized for all of them: a mistyped count then fails at once
// instead of allocating for millions of files. (Each file's frame size is
// checked as it is read.) A series still being written (REALTIME) is checked
// file by file as it comes.
void check_merged_files(const std::string& dir, const SeriesName& series, int32_t files) {
    if (run.real_time > 0) return;
    for (int32_t k = 1; k < files; ++k) {
        const std::string name = xy_cur_name(dir, series.base, series.ext, series.ndig, series.num + k);
        const std::string file = xy_file_to_open(name, run.r_def);
        struct stat st;
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            v_fatal("zandor", "file '%s' of the merged series (%d files) is missing or not a regular file",
                    file.c_str(), files);
    }
}

// Block k of the merged planes takes this file's sums and counts; both are then
// cleared so that the next file starts from zero with its own counts.
void store_merged_block(MergedPlanes& merged, IMG& img, int32_t k) {
    const size_t at = static_cast<size_t>(merged.plane) * static_cast<size_t>(k);
    std::copy(img.data.begin(), img.data.end(), merged.data.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(img.frame.begin(), img.frame.end(), merged.frame.begin() + static_cast<std::ptrdiff_t>(at));
    std::fill(img.data.begin(), img.data.end(), 0);
    std::fill(img.frame.begin(), img.frame.end(), 0);
}

void take_merged(IMG& img, MergedPlanes& merged, int32_t files) {
    img.size = static_cast<int32_t>(merged.plane * files);
    img.ny *= files;
    img.data = std::move(merged.data);
    img.frame = std::move(merged.frame);
    prg_printf("\n# new image  %d * %d = %d\n", img.nx, img.ny, img.size);
}

// Pixels that lost more than half of their frames, scaled by the integer ratio.
void rescale_by_frame_ratio(IMG& img) {
    const int32_t n = img.frames;
    if (n <= 1 || img.frame.empty()) return;
    for (size_t i = 0; i < img.data.size(); ++i) {
        const int32_t c = img.frame[i];
        if (c == 0 || c == n) continue;
        const int32_t ratio = n / c;
        if (ratio == 1) continue;
        const int32_t product =
            static_cast<int32_t>(static_cast<uint32_t>(img.data[i]) * static_cast<uint32_t>(ratio));
        img.data[i] = static_cast<int32_t>(std::trunc(product + 0.5));
    }
}

void check_same_size(const IMG& a, const IMG& b, const char* what) {
    if (a.nx != b.nx || a.ny != b.ny)
        v_fatal("zandor", "%s '%s' is %d * %d pixels, image '%s' is %d * %d", what, b.name.c_str(), b.nx,
                b.ny, a.name.c_str(), a.nx, a.ny);
}

void subtract_dark(IMG& img) {
    const IMG& dark = drv.d_image;
    check_same_size(img, dark, "dark");
    if (dark.frames == 0) v_fatal("zandor", "dark '%s' has 0 frames, it cannot be scaled", dark.name.c_str());
    const double ratio = static_cast<double>(img.frames) / dark.frames;
    for (size_t i = 0; i < img.data.size(); ++i)
        img.data[i] = pixel_from_double(img.data[i] - dark.data[i] * ratio, "dark subtraction",
                                        static_cast<int64_t>(i));
}

void subtract_offset(IMG& img) {
    for (size_t i = 0; i < img.data.size(); ++i)
        img.data[i] = pixel_from_double(static_cast<double>(img.data[i]) - run.add_dark, "ADD_DARK",
                                        static_cast<int64_t>(i));
}

void divide_by_flat(IMG& img) {
    const IMG& flat = drv.f_image;
    check_same_size(img, flat, "flat field");
    const double mean = flat.mean;
    for (size_t i = 0; i < img.data.size(); ++i) {
        const int32_t f = flat.data[i];
        if (f != 0)
            img.data[i] = pixel_from_double(mean / f * img.data[i], "flat field", static_cast<int64_t>(i));
    }
}

// Pixels at or below LOW_LIMIT, repaired in index order (later pixels see the
// earlier repairs).
void repair_low_pixels(IMG& img) {
    const double limit = run.low_limit;
    for (size_t i = 0; i < img.data.size(); ++i) {
        if (!(img.data[i] <= limit)) continue;
        int32_t n = 0;
        const double a = xy_condmean(img, static_cast<int64_t>(i), -1, 1, -1, 1, n, limit);
        const double repaired = (run.set_limit != 2 && a + 0.5 > limit) ? a + 0.5 : limit;
        img.data[i] = pixel_from_double(repaired, "LOW_LIMIT repair", static_cast<int64_t>(i));
        if (!img.frame.empty()) img.frame[i] = 0;
        ++img.n_low;
    }
}

void print_correction_summary(IMG& img) {
    const bool anything =
        drv.dark_in_force || run.add_dark != 0 || run.low_limit != 0 || drv.flat_in_force || drv.grid_done;
    if (!(run.print & PRINT_CORRECTIONS) || !anything) return;
    if ((run.print & PRINT_VALUE_DUMP) && img.size <= kDumpLimit) xy_val_dump(img, stdout, "#R");
    xy_info(img, INFO_ALL);
    const int32_t total = img.n_saturated + img.n_time + img.n_space + img.n_low;
    prg_printf(
        "# %s : corrected (dark=%s,flat=%s,grid=%s) and %d pixel(s) corrections (s=%d,t=%d,s=%d,l=%d)\n",
        img.name.c_str(), drv.dark_in_force ? drv.d_image.name.c_str() : "",
        drv.flat_in_force ? drv.f_image.name.c_str() : "", drv.grid_done ? "auto" : "none", total,
        img.n_saturated, img.n_time, img.n_space, img.n_low);
    xy_fputinfo(stdout, img);
}

// True when `img` became the working image.
bool accumulate(IMG& img) {
    IMG& base = drv.image;
    if (base.data.empty()) {
        base = std::move(img);
        img = IMG();
        prg_printf("\n# base image %s -> %s (%s)\n", base.name.c_str(), base.name.c_str(),
                   drv.i_name.c_str());
        return true;
    }
    check_same_size(base, img, "image");
    base.frames = wrap_add32(base.frames, img.frames);
    for (size_t i = 0; i < base.data.size(); ++i)
        base.data[i] = wrap_add32(base.data[i], img.data[i]);
    if (!base.frame.empty() && !img.frame.empty())
        for (size_t i = 0; i < base.frame.size(); ++i)
            base.frame[i] = static_cast<uint16_t>(base.frame[i] + img.frame[i]);
    prg_printf("\n# adding image %s to %s\n", img.name.c_str(), base.name.c_str());
    xy_freeimg(img, FREE_DATA);
    xy_info(base, INFO_ALL);
    xy_fputinfo(stdout, base);
    return false;
}

// ---------------------------------------------------------------- the files of an image word

// The files of one image word and what reading them shares.
struct SeriesFiles {
    const std::string& dir;
    const SeriesName& series;
    int32_t files;
    bool cosmic;
    Progress& progress;
    MergedPlanes& merged;

    std::string name_of(int32_t k) const {
        return xy_cur_name(dir, series.base, series.ext, series.ndig, series.num + k);
    }
};

// File k becomes the record's file: the record takes its name and prints its
// description.
void start_file(IMG& img, const SeriesFiles& s, int32_t k, const std::string& name,
                std::unique_ptr<HDR> hdr) {
    img.name = name;
    summary_file_read(name);
    open_cosmic_report(name);
    if (s.series.ndig > 0 && s.series.ndig != run.dformat)
        img.name = recorded_name(s.dir, s.series, s.series.num + k);
    img.hdr = std::move(hdr);
    xy_puthdr(*img.hdr, (run.print & PRINT_FILE_HEADER) != 0);
}

// After file k is in the sum: its statistics line, its merged plane, the file closed.
void end_file(IMG& img, SeriesFiles& s, int32_t k) {
    xy_fputinfo(stdout, img);
    if (s.files > 1 && s.series.mosaic) {
        if (k == 0) {
            merged_pixels(img, s.files);
            check_merged_files(s.dir, s.series, s.files);
            allocate_merged(s.merged, img, s.files);
        }
        store_merged_block(s.merged, img, k);
    }
    if (s.files > 1) {
        if (k == s.files - 1)
            img.hdr->fp.close();
        else
            xy_freehdr(img.hdr);
    }
    s.progress.update(k + 1);
}

std::unique_ptr<HDR> open_file(const SeriesFiles& s, int32_t k) {
    return xy_open(s.name_of(k), prg_state().name, run.r_def, run.real_time, 1, drv.job.reading);
}

// Reads file k alone, after the line that separates it; `opened` when it is
// open already.
void read_file(IMG& img, SeriesFiles& s, int32_t k, std::unique_ptr<HDR> opened) {
    if (!opened) prg_printf("\n");
    std::unique_ptr<HDR> hdr = opened ? std::move(opened) : open_file(s, k);
    start_file(img, s, k, s.name_of(k), std::move(hdr));
    check_file_matches_geometry(img);
    xy_getsum_info(img, report_stream(), run.print, k == 0, s.cosmic);
    end_file(img, s, k);
}

// Reads the files of `group`, the files from k on, in one pass, then reports
// each as if it had been read alone; returns how many were read. A file whose
// frame a worker thread could not decode ends the group: it is read alone,
// where damaged data stop the run with their report.
int32_t read_group(IMG& img, SeriesFiles& s, int32_t k, std::vector<std::unique_ptr<HDR>>& group) {
    const int32_t frames = img.frames;
    const std::vector<XyFileSum> sums = xy_getsum_files(img, group);
    for (size_t j = 0; j < sums.size(); ++j) {
        const auto file = static_cast<int32_t>(k + j);
        prg_printf("\n");
        start_file(img, s, file, s.name_of(file), std::move(group[j]));
        xy_print_sum_lines(report_stream(), run.print, *img.hdr, 1, sums[j].saturated);
        img.frames = static_cast<int32_t>(frames + j + 1);
        xy_set_statistics(img, sums[j].statistics);
        end_file(img, s, file);
    }
    const auto summed = static_cast<int32_t>(sums.size());
    if (sums.size() == group.size()) return summed;
    prg_printf("\n");
    read_file(img, s, k + summed, std::move(group[sums.size()]));
    return summed + 1;
}

// Files after the first of a series are read a group at a time when they hold
// one frame each (the common one-file-per-frame series); frame and raw dumps,
// merged files and files still being written are read file after file.
constexpr int32_t kGroupFiles = 16;

bool reads_in_groups(const SeriesFiles& s, int32_t k) {
    return k > 0 && !s.series.mosaic && run.real_time == 0 &&
           !(run.print & (PRINT_SUM_DUMP | PRINT_RAW_DUMP));
}

// Reads file k, or a group of files from k on, and returns how many. A file
// that cannot join the group is read alone next. When opening a file stops
// the run, the files of the group opened before it are read and reported
// first: standard output is then that of reading file after file.
int32_t read_files_from(IMG& img, SeriesFiles& s, int32_t k) {
    if (!reads_in_groups(s, k)) {
        read_file(img, s, k, nullptr);
        return 1;
    }
    std::vector<std::unique_ptr<HDR>> group;
    std::unique_ptr<HDR> alone;
    while (k + static_cast<int32_t>(group.size()) < s.files && group.size() < kGroupFiles) {
        const auto file = static_cast<int32_t>(k + group.size());
        std::unique_ptr<HDR> hdr;
        try {
            hdr = open_file(s, file);
        } catch (const Fatal&) {
            if (!group.empty()) read_group(img, s, k, group);
            prg_printf("\n");
            throw;
        }
        const bool joins =
            xy_getsum_files_take(img, *hdr, group.empty() ? hdr->type : group.front()->type,
                                 static_cast<int64_t>(group.size())) &&
            (group.empty() || (hdr->decoder != nullptr) == (group.front()->decoder != nullptr));
        if (!joins) {
            alone = std::move(hdr);
            break;
        }
        group.push_back(std::move(hdr));
    }
    // A full group leaves no last file to be read alone: the series' last two
    // files go together.
    if (!alone && group.size() > 2 && k + static_cast<int32_t>(group.size()) == s.files - 1) group.pop_back();
    // Fewer than two files make no group: the first is read alone. A file that
    // could not join a group is opened again at its turn.
    if (group.size() < 2) {
        if (!group.empty()) alone = std::move(group.front());
        prg_printf("\n");
        read_file(img, s, k, std::move(alone));
        return 1;
    }
    return read_group(img, s, k, group);
}

} // namespace

Acquisition get_image(const std::string& word, const std::string& dir, IMG& img) {
    img = IMG();
    summary_image_word(word);
    xy_imgini(img, drv.reading);
    SeriesName series;
    const int32_t files = xy_rep_name(word, img, series);
    // Merged files would need their squared sums stacked too.
    if (stat_mode() && series.mosaic && files > 1)
        v_fatal("zandor", "option M (merged files) is not available in statistics mode: %s", word.c_str());
    // The statistics need the squared sums whatever the options.
    const bool cosmic = stat_mode() || (img.t_cosmic > 0 && !series.mosaic && !series.no_cosmic);
    MergedPlanes merged;
    Progress progress("files", files > 1 ? files : 0);
    SeriesFiles reading{dir, series, files, cosmic, progress, merged};
    for (int32_t k = 0; k < files;)
        k += read_files_from(img, reading, k);
    Acquisition acquired;
    acquired.reading = static_cast<const XyReading&>(img);
    if (files > 1 && series.mosaic) take_merged(img, merged, files);

    if (series.no_cosmic) {
        prg_printf("# No cosmic corrections are applied\n");
        // Without the correction step this is the only normalisation; the
        // statistics take the raw sums.
        if (!stat_mode()) rescale_by_frame_ratio(img);
    } else {
        cor_image(img);
    }
    if (series.frames_u > 0) {
        prg_printf("# frames number %d modified to %d\n", img.frames, series.frames_u);
        img.frames = series.frames_u;
    }
    acquired.corrected = !series.no_cosmic;
    summary_image_done(img);
    return acquired;
}

std::vector<int32_t>& cor_image(IMG& img) {
    std::FILE* report = report_stream();
    const int32_t print = run.print;
    const bool small_frame = img.file_size <= kDumpLimit;
    const bool small_image = img.size <= kDumpLimit;
    auto dump_sums = [&](bool with_statistics) {
        if (!(print & PRINT_SUM_DUMP) || !small_frame) return;
        xy_sum_dump(img, report, "#T(N)");
        if (with_statistics) xy_sta_dump(img, report, "#M(S)");
    };
    dump_sums(false);

    if (!img.cosmic.sumq.empty() && img.frames > 3 && img.t_cosmic > 0) {
        if ((print & PRINT_SUM_DUMP) && small_frame) xy_sta_dump(img, report, "#M(S)");
        xy_tcosmic(img, (print & PRINT_COSMIC_DETAILS) ? report : nullptr);
        if (print & PRINT_INFO)
            prg_fprintf(report, "# %d cosmic(s) found using time series (t=%5.1f, h=%5.1f)\n", img.n_time,
                        static_cast<double>(img.t_cosmic), static_cast<double>(img.h_cosmic));
        if (img.n_time > 0) dump_sums(true);
    }
    if (stat_mode()) return img.data;

    // A record already normalised (a dark read again at start-up) is left as it is.
    int32_t rescaled = 0;
    if (img.corrected != 1 && !img.frame.empty()) {
        for (size_t i = 0; i < img.data.size(); ++i) {
            const int32_t c = img.frame[i];
            if (c == 0 || c == img.frames) continue;
            img.data[i] = xy_valcor(img, static_cast<int64_t>(i));
            ++rescaled;
        }
    }
    img.corrected = 1;
    summary_pixels_rescaled(rescaled);
    if (print & PRINT_CORRECTIONS) prg_fprintf(report, "# %d pixel(s) corrected\n", rescaled);
    if (rescaled != 0 && (print & PRINT_CORRECTED_DUMP) && small_image) xy_val_dump(img, report, "#C");

    if (img.s_cosmic > 0 && img.p_cosmic > 0) {
        xy_space(img, (print & PRINT_COSMIC_DETAILS) ? report : nullptr);
        if (print & PRINT_CORRECTIONS)
            prg_fprintf(
                report,
                "# %d cosmic(s) or hot_spot(s) found on spatial means (s=%5.1f, p=%5.1f), corrected\n",
                img.n_space, static_cast<double>(img.s_cosmic), static_cast<double>(img.p_cosmic));
        if (img.n_space != 0) {
            dump_sums(true);
            if ((print & PRINT_CORRECTED_DUMP) && small_image) xy_val_dump(img, report, "#C");
        }
    }

    if (rescaled != 0 && (print & PRINT_CORRECTIONS)) {
        xy_info(img, INFO_ALL);
        const std::string line =
            prg_format("# after corrections s=%d, t=%d, s=%d\n", img.n_saturated, img.n_time, img.n_space);
        prg_printf("%s", line.c_str());
        xy_fputinfo(stdout, img);
        if (report != stdout) {
            prg_fprintf(report, "%s", line.c_str());
            xy_fputinfo(report, img);
        }
    }
    xy_freeimg(img, FREE_COSMIC);
    return img.data;
}

bool proc_image(IMG& img) {
    if (drv.dark_in_force) subtract_dark(img);
    if (run.add_dark != 0) subtract_offset(img);
    drv.grid_done = false;
    if (run.grid_auto == "AUTO") grid_image("", img);
    print_correction_summary(img);
    if (drv.flat_in_force) divide_by_flat(img);
    if (run.set_limit != 0) repair_low_pixels(img);
    summary_image_done(img);
    return accumulate(img);
}
