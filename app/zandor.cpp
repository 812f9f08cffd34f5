// The zandor driver: start-up, the word loop and the help text.
#include "zandor.hpp"

#include "xy_excl.hpp"
#include "zd_acquire.hpp"
#include "zd_batch.hpp"
#include "zd_checks.hpp"
#include "zd_commands.hpp"
#include "zd_progress.hpp"
#include "zd_rad.hpp"
#include "zd_settings.hpp"
#include "zd_stat.hpp"
#include "zd_summary.hpp"

#include <ctime>
#include <new>
#include <optional>
#include <vector>

const char* const RELEASE = "zandor_1.7 (07Jul03_0906)";

namespace {

const char* const kContactLine = "zandor maintainers : beamline data group, see README.md";

void print_general_help() {
    const char* n = prg_state().name.c_str();
    std::fprintf(stderr,
                 "usage : %s [D=|F=]img_file[,Bb,Ee,X,Aa|Mm,Uu] [img...] [%%M=val] [%%[X] [img...]]\n", n);
    std::fprintf(
        stderr,
        "  example : %s D=dark_0001.kvf,A10 img_0001.kvf,A5 %%X  (sum of 10 dark files, 5 images)\n"
        "  D=name : dark image, F=name : flat field image, both given before the images they apply to\n"
        "  ,Bb : first frame b of each file\n"
        "  ,Ee : last frame e of each file\n"
        "  ,X  : no cosmic corrections (no cosmic removal, no first rescaling)\n"
        "  ,Aa : add a files with consecutive numbers, starting at the number of the name\n"
        "  ,Mm : merge m such files, stacked one below the other (A and M exclude each other)\n"
        "  ,Uu : force the recorded number of frames to u\n"
        "  images are held as 32 bits integers\n"
        "  %%M=val (%%A=val) : multiply (add) val to the current image\n"
        "     val may be a/SPEC, a*SPEC, a+SPEC, a-SPEC or SPEC : value from WSPEC2XL on the SPEC file\n"
        "  %%C=h[,l] : cut values higher than h*mean (lower than l*mean)\n"
        "  %%S=val : rescale the current image by val, printing the new maximum\n"
        "  %%X[name] : write the current image (kvf 32 bits, or tif/gel depth from the values)\n"
        "  %%Y[name] : write the current image, 16 bits request\n"
        "  %%Z[name] : write the current image, 8 bits request\n"
        "  %%R[name] : radial distribution file (.rad)\n"
        "  %%Q[name] : powder profile in 2theta, q, d or r (.xy, and NeXus for a .h5 or .nxs name)\n"
        "  %%P[name] : peak list file (.pks)\n"
        "  %%H[name] : (h, k, l) map file (.map)\n"
        "  %%F : free the current image, the next image starts a new one\n"
        "  %%G : grid correction with GRID_DCOR, GRID_XCOR, GRID_YCOR (see the vellum program)\n"
        "  %%g[name] : save the pixel mask of the current image\n"
        "  %%T[rule] : analyse a transform rule\n"
        "  when the program name contains stat, a statistics routine is called\n"
        "     and the previous keys are not valid\n",
        n);
    std::fprintf(stderr, "see also prameters in %s.ini file\n", n);
}

std::string local_time_text() {
    const std::time_t now = std::time(nullptr);
    const char* text = std::ctime(&now);
    return text ? text : "\n";
}

// The dark or the flat field: its record, whether it is in force, the word
// that named it, and whether it is oriented like the images (the flat is not).
struct Reference {
    const char* what;
    IMG& record;
    bool& in_force;
    std::string& name;
    bool oriented;
};

Reference dark() {
    return {"Dark", drv.d_image, drv.dark_in_force, run.d_name, true};
}

Reference flat() {
    return {"Flat field", drv.f_image, drv.flat_in_force, run.f_name, false};
}

// The dark and flat in force, for the summary of the run.
void note_dark_and_flat() {
    summary_dark(drv.dark_in_force ? run.d_name : "", drv.d_image.frames);
    summary_flat(drv.flat_in_force ? run.f_name : "", drv.f_image.frames);
}

// "D=" and "F=" words: drop what was in force, then read the new one.
void set_reference(const Reference& ref, const std::string& name) {
    ref.name.clear();
    xy_freeimg(ref.record, FREE_DATA);
    ref.in_force = false;
    note_dark_and_flat();
    if (name == "NONE") return;
    ref.name = name;
    get_image(name, run.dir, ref.record);
    if (ref.oriented) xy_orien(ref.record);
    xy_freeimg(ref.record, FREE_FRAME);
    ref.in_force = !ref.record.data.empty();
    if (ref.in_force) prg_printf("# %s set to : %s\n", ref.what, name.c_str());
    note_dark_and_flat();
}

// Dark and flat named in the settings: read without DIR and passed through the
// correction step once more (which leaves an already normalised record as it
// is); with the X option the correction step is never run on them.
void load_settings_reference(const Reference& ref) {
    if (ref.name.empty()) return;
    const bool corrected = get_image(ref.name, "", ref.record).corrected;
    if (ref.oriented) xy_orien(ref.record);
    if (corrected) cor_image(ref.record);
    xy_freeimg(ref.record, FREE_FRAME);
    ref.in_force = !ref.record.data.empty();
    note_dark_and_flat();
}

void acquire_and_process(const std::string& word) {
    drv.i_name = word;
    Acquisition acquired = get_image(word, run.dir, drv.i_image);
    excl_image(drv.job.zones, drv.job.reading, drv.i_image, run.print);
    xy_orien(drv.i_image);
    if (stat_mode()) {
        // The low limit applies only with SET_LIMIT 2.
        const float limit = run.set_limit == 2 ? run.low_limit : 0.0f;
        zd_stat(drv.i_image, drv.dark_in_force, drv.d_image, run.set_limit, limit, run.print,
                drv.job.reading.threads);
        return;
    }
    // The first image of a working image fixes the frame range and the file
    // geometry of the images read after it.
    if (proc_image(drv.i_image)) drv.reading = std::move(acquired.reading);
}

void handle_word(const std::string& word) {
    if (word[0] == '-') usage("", word);
    if (word[0] == '%') {
        prg_printf("\n# %s# command : %s\n", local_time_text().c_str(), word.c_str());
        run_command(word, drv.image);
    } else if (word.compare(0, 2, "D=") == 0) {
        set_reference(dark(), word.substr(2));
    } else if (word.compare(0, 2, "F=") == 0) {
        set_reference(flat(), word.substr(2));
    } else {
        acquire_and_process(word);
    }
}

// One word per line from standard input; false at an empty line or the end.
bool read_interactive_word(std::string& word) {
    std::fputs("\n [D=|F=]img_file[Bb,Ee,Aa|Mm]  name (return=end) : ", stderr);
    std::string line;
    bool complete = false;
    if (!prg_readline(stdin, line, complete)) return false;
    if (run.stdin_redirected) std::printf("%s\n", line.c_str());
    const char* blanks = " \t\r\n\v\f";
    const size_t start = line.find_first_not_of(blanks);
    if (start == std::string::npos) return false;
    word = line.substr(start, line.find_first_of(blanks, start) - start);
    return true;
}

void reset_run_state() {
    run = RunSettings();
    settings_defaults();
}

// The files the command line names (images, D= and F=) and the settings' dark
// and flat count as inputs from the start, so that a new log opened by the
// first message cannot empty one of them.
void note_named_inputs(const std::vector<std::string>& words) {
    for (std::string word : words) {
        if (word.empty() || word[0] == '%' || word[0] == '-') continue;
        if (word.rfind("D=", 0) == 0 || word.rfind("F=", 0) == 0) word.erase(0, 2);
        const std::string name = word.substr(0, word.find(','));
        prg_note_input(name);
        prg_note_input(xy_cur_name(run.dir, name, "", 0, 0));
    }
    prg_note_input(run.d_name);
    prg_note_input(run.f_name);
}

// The checks made before any work; with --strict, a warning of theirs (or of
// the settings) ends the run here.
void check_before_work(const BatchOptions& options) {
    warn_unwritable_output_dirs(run.out, options.words);
    if (options.strict)
        warn_ahead_of_words(options.words, {run.d_name, run.f_name},
                            {rad_set.rad_x, rad_set.rad_y, rad_set.rad_dx, rad_set.rad_dy});
    prg_strict_checkpoint();
}

// The statistics line of the working image at the end of the run ("" when
// there is none), which ends the output of a quiet run.
std::string final_statistics_line() {
    if (drv.image.data.empty()) return std::string();
    xy_info(drv.image, INFO_ALL);
    return xy_info_line(drv.image);
}

int run_zandor(const std::string& program, const BatchOptions& options) {
    xy_chktype();
    prg_state().name = program;
    reset_run_state();
    prg_set_strict_warnings(options.strict);
    run.r_def = default_extension(prg_state().name);
    prg_inifile(parameter, options.settings_file);
    if (options.threads > 0) drv.job.reading.threads = std::min(options.threads, kXyMaxThreads);
    const std::vector<std::string>& words = options.words;
    note_named_inputs(words);
    check_before_work(options);
    prg_printf("## %s : %s\n## %s\n## %s\n", prg_state().name.c_str(), " extracting info/preprocessing image",
               RELEASE, kContactLine);
    const bool interactive = words.empty();
    if (words.size() == 1) run.print |= PRINT_FILE_HEADER;
    load_settings_reference(dark());
    load_settings_reference(flat());
    DarkFlatTracker dark_flat;
    if (interactive) {
        std::string word;
        while (read_interactive_word(word)) {
            handle_word(word);
            dark_flat.saw_word(word);
        }
        // The last prompt left its line open.
        if (dark_flat.has_unused() && prg_warnings_shown()) std::fputs("\n", stderr);
    } else {
        for (size_t i = 0; i < words.size(); ++i) {
            if (words[i].empty()) v_fatal("zandor", "empty word %zu on the command line", i + 1);
            handle_word(words[i]);
            dark_flat.saw_word(words[i]);
        }
    }
    dark_flat.finish();
    summary_write(drv.image, RELEASE);
    return 0;
}

} // namespace

void usage(const std::string& message, const std::string& word) {
    print_general_help();
    std::fprintf(
        stderr,
        "Look at zandor.pdf (if available) or try %s --usage[=grid,radial,mask,spec,cosmic,other,stat] \n",
        prg_state().name.c_str());
    if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
    if (!contains(word, "--usage")) throw Fatal(3);
    std::fprintf(stderr, "\nUsing : %s %s \n", prg_state().name.c_str(), word.c_str());
    std::fprintf(stderr, "\nValid options in %s.ini files are : \n", message.c_str());
    settings_usage(message, word);
    std::fputs("\n", stderr);
    throw Fatal(0);
}

RunOutcome zandor_run(const std::string& program, const BatchOptions& options, MessageSink& sink,
                      bool with_summary) {
    drv = DriverState();
    drv.job.program.sink = &sink;
    const ProgramScope bind(drv.job.program);
    struct LogCloser {
        ~LogCloser() {
            prg_log_reset();
            prg_set_sink(nullptr);
        }
    } close_log;
    if (options.words.empty()) v_fatal("zandor", "no image word or command to run");
    run_zandor(program, options);
    RunOutcome out;
    out.files_written = prg_files_written();
    if (with_summary) out.summary = summary_text(drv.image, RELEASE);
    out.image = std::move(drv.image);
    drv = DriverState();
    return out;
}

int zandor_main(int argc, char** argv) {
    int status = 0;
    ConsoleSink console;
    drv = DriverState(); // a fresh job: no state of an earlier run in this process
    drv.job.program.sink = &console;
    const ProgramScope bind(drv.job.program);
    const BatchOptions options = take_batch_options(argc, argv);
    std::optional<QuietStdout> quiet;
    try {
        if (options.quiet) quiet.emplace();
        status = run_zandor(argc > 0 ? argv[0] : "zandor", options);
    } catch (const Fatal& fatal) {
        std::fflush(stdout);
        std::fputs(fatal.report.c_str(), stderr);
        std::fflush(stderr);
        status = fatal.status;
    } catch (const std::bad_alloc&) {
        std::fputs(prg_bad_alloc_report().c_str(), stderr);
        status = 3;
    }
    if (quiet) quiet->write_batch_lines(prg_files_written(), status == 0 ? final_statistics_line() : "");
    quiet.reset();
    std::fflush(stdout);
    prg_log_reset();
    prg_set_sink(nullptr);
    return status;
}
