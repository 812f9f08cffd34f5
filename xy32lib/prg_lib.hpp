// Program support library: settings file, messages and log, fatal errors,
// allocation and the file-name rules shared by every module.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#define PRG_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

// The single way a run ends early: v_error and the help text throw it. It
// carries the whole one-line report (origin, errno when set, text); only the
// program's main writes it to standard error and returns `status` as the
// process exit status. The help's exits carry no report.
struct Fatal : std::exception {
    int status;
    std::string origin;
    int err = 0;         // errno when the report names it, else 0
    std::string message; // the text, as formatted
    std::string report;  // " <origin> error[ (errno=N)] : <message>, abort!\n\n"
    explicit Fatal(int exit_status) : status(exit_status) {}
    const char* what() const noexcept override { return report.empty() ? "zandor exit" : report.c_str(); }
};

// ---------------------------------------------------------------- text helpers
// True when `part` occurs anywhere in `text` (case-sensitive).
inline bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The integer at the start of `text` as strtoll reads it: blanks, a sign and
// decimal digits; whatever follows is left alone.
struct LeadingInteger {
    bool found = false;  // there were digits
    bool fits32 = false; // found, and within the 32-bit range
    int64_t value = 0;   // 0 when not found; saturated to the 64-bit range
    int consumed = 0;    // characters of `text` up to the end of the number
};
LeadingInteger leading_integer(const char* text);
// True, with `value` (and `consumed` when given) set, when `text` begins with
// an integer that fits in 32 bits; `value` is left alone otherwise.
bool scan_int32(const char* text, int32_t& value, int* consumed = nullptr);

// ---------------------------------------------------------------- settings file
// One settings line split into key and value. `has_value` is false for a line
// without "=": such a line names a key but sets nothing.
// A census tag carries a key list instead of a key: it matches no key, and
// every key a handler asks for is added to the list.
struct IniTag {
    std::string key;
    std::string value;
    bool has_value = false;
    std::vector<std::string>* census = nullptr;
};

// True when `tag` carries `key` (a census tag collects `key` and is false).
// Every handler compares keys through it, so that a census finds them all.
bool prg_inikey(const IniTag& tag, const char* key);
// The keys of the settings layer itself (FILE, LOG, QUIET_WARNINGS): true when
// `tag` was one of them and has been handled.
bool prg_take_layer_key(const IniTag& tag);

using ParamProc = void (*)(std::FILE* stream);

// Reads the settings file through `proc`: `named` when given (a file that
// cannot be read stops the run), else "<program base name>.ini" from the
// current directory, if there is one.
void prg_inifile(ParamProc proc, const std::string& named = std::string());
// The settings files read by the last prg_inifile, FILE redirections included, in order.
const std::vector<std::string>& prg_settings_files();
// Splits one line (without its line feed) and handles the layer's keys itself.
// Returns true when the handler must look at `tag`.
bool prg_initag(const std::string& line, IniTag& tag);
// Reads one whole line of a settings stream (any length up to a sane limit).
// Returns false at the end of the stream; `complete` tells whether the line
// ended with a line feed (a last line without one is not used).
bool prg_readline(std::FILE* stream, std::string& line, bool& complete);

bool prg_inistr(const IniTag& tag, const char* key, std::string& target);
bool prg_iniint(const IniTag& tag, const char* key, int32_t& target);
bool prg_iniflt(const IniTag& tag, const char* key, float& target);
bool prg_inidbln(const IniTag& tag, const char* key, double* target, int n);
// `capacity` bounds the indices a line may address: a line addressing
// elements beyond the target is refused rather than written out of bounds.
bool prg_inidblt(const IniTag& tag, const char* key, double* target, int capacity);

std::string prg_home_name(const std::string& name);
std::string prg_get_name(const std::string& prefix, const std::string& text);
std::string prg_get_names(const std::string& prefix, const std::string& text);
void prg_iniuse(const std::string& name);

// ---------------------------------------------------------------- warnings
// A condition that does not stop the run but probably gives a result the user
// did not mean: one line " warning : <message>" on stderr, never on stdout.
// While the settings are read the lines are held back, so that QUIET_WARNINGS
// silences them wherever it stands; they are written when the reading ends,
// or before a fatal report.
void prg_warning(const char* format, ...) PRG_PRINTF_LIKE(1, 2);
// With strict warnings every warning is an error: those raised before
// prg_strict_checkpoint are all written and then end the run there; a warning
// raised after it ends the run at once. QUIET_WARNINGS does not hide them.
void prg_set_strict_warnings(bool strict);
void prg_strict_checkpoint();
// True when a warning would be written (not silenced by QUIET_WARNINGS).
bool prg_warnings_shown();
// Number of edits (insertions, deletions, substitutions, ignoring case)
// between two texts, counted up to `limit` + 1 at most.
size_t prg_edit_distance(std::string_view a, std::string_view b, size_t limit);

// ---------------------------------------------------------------- message sink
// Where the engine's messages go; the engine itself writes on no standard
// stream. Report lines are what users' scripts parse (the console program:
// standard output; they also go to the log), screen lines are shown but not
// logged (settings echoes, traces of the readers), notices are for people
// (the console program: standard error; warnings, help texts), progress tells
// how far a long loop (the frames of a file, the rows of a grid correction)
// is. Without a sink the messages go nowhere.
class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void report(std::string_view text) = 0;
    virtual void screen(std::string_view text) = 0;
    virtual void notice(std::string_view text) = 0;
    virtual void progress(const char* what, int64_t done, int64_t total) = 0;
    // Shows what was sent so far (before the engine waits for a file).
    virtual void flush() {}
};

// A sink that writes report and screen lines to one stream and notices to
// another (the console program: standard output and standard error), and
// drops progress.
class StreamSink : public MessageSink {
  public:
    StreamSink(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
    void report(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), out_); }
    void screen(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), out_); }
    void notice(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), err_); }
    void progress(const char*, int64_t, int64_t) override {}
    void flush() override { std::fflush(out_); }

  private:
    std::FILE* out_;
    std::FILE* err_;
};

// ---------------------------------------------------------------- job state
// This layer's state for one job: the program name, the log, the settings
// files being read, the warnings held back, the files read and written, and the
// sink the messages go to. A caller makes one per job and binds it with
// ProgramScope to the thread that runs the job; the functions of this layer
// use the state bound to the calling thread, so that jobs on other threads
// never see it.
struct ProgramState {
    struct Settings {
        ParamProc param_proc = nullptr;
        int file_depth = 0;
        std::vector<std::string> files_read; // the settings file, then FILE redirections in order
    };
    struct Warnings {
        bool holding = false;          // the settings are being read
        std::vector<std::string> held; // lines waiting for the end of the reading
        bool strict = false;           // every warning is an error
        bool past_checkpoint = false;  // strict: a new warning ends the run at once
        int raised = 0;                // warnings raised in strict mode
    };
    struct CloseFile {
        void operator()(std::FILE* fp) const { std::fclose(fp); }
    };
    using FileIdentity = std::pair<uint64_t, uint64_t>; // device, inode

    std::string name = "zandor"; // invocation name as typed (directory part kept)
    int32_t log_mode = 0;        // 0 none, 1 new log, 2 append; consumed by the first message
    int32_t quiet_warnings = 0;  // QUIET_WARNINGS: not 0 silences the warnings
    MessageSink* sink = nullptr; // none: the messages go nowhere
    Settings settings;
    Warnings warnings;
    std::unique_ptr<std::FILE, CloseFile> log;
    std::map<FileIdentity, std::string> inputs; // the files read, under the name they were read by
    std::vector<std::string> files_written;     // put in place by AtomicOutFile, in order
};

// The state bound to the calling thread; std::logic_error when there is none.
ProgramState& prg_state();

// Binds a job's state to the calling thread for the scope's lifetime (scopes
// nest: the previous binding comes back at the end).
class ProgramScope {
  public:
    explicit ProgramScope(ProgramState& state);
    ~ProgramScope();
    ProgramScope(const ProgramScope&) = delete;
    ProgramScope& operator=(const ProgramScope&) = delete;

  private:
    ProgramState* previous_;
};

// Connects the sink the engine's messages go to (null: none).
void prg_set_sink(MessageSink* sink);
void prg_progress(const char* what, int64_t done, int64_t total);
void prg_flush_messages();

// ---------------------------------------------------------------- messages
std::string prg_vformat(const char* format, va_list args);
std::string prg_format(const char* format, ...) PRG_PRINTF_LIKE(1, 2);
// A report line: to the sink and the log.
void prg_printf(const char* format, ...) PRG_PRINTF_LIKE(1, 2);
// A screen line (to the sink, not logged) and a notice.
void prg_screen(const char* format, ...) PRG_PRINTF_LIKE(1, 2);
void prg_notice(const char* format, ...) PRG_PRINTF_LIKE(1, 2);
// To a stream the caller chose (a report file, or stdout for the sink's
// report lines), and to the log.
void prg_fprintf(std::FILE* stream, const char* format, ...) PRG_PRINTF_LIKE(2, 3);
// To a stream the caller chose, not logged: stdout stands for the sink's
// screen lines, stderr for its notices.
void prg_write(std::FILE* stream, std::string_view text);
void prg_stream_printf(std::FILE* stream, const char* format, ...) PRG_PRINTF_LIKE(2, 3);
void prg_fflush(std::FILE* stream);
// Closes the log (tests run several "runs" in one process).
void prg_log_reset();

[[noreturn]] void v_error(const char* origin, const char* format, ...) PRG_PRINTF_LIKE(2, 3);
// The same report for a condition found in the data rather than by a system
// call: a stale errno from an earlier, unrelated call is not printed.
[[noreturn]] void v_fatal(const char* origin, const char* format, ...) PRG_PRINTF_LIKE(2, 3);

// ---------------------------------------------------------------- allocation
[[noreturn]] void prg_alloc_failed(const char* owner, const char* item, uint64_t bytes);

// Blocks of at least kPrgLargeBytes taken straight from the system as zeroed
// pages, asking for huge pages: their first touch then takes a few page
// faults instead of one per 4 KiB. prg_map_large gives null when it fails.
constexpr size_t kPrgLargeBytes = size_t{2} << 20;
void* prg_map_large(size_t bytes);
void prg_unmap_large(void* block, size_t bytes);

// Elements that start uninitialised: for buffers always written before they
// are read, whose allocation then writes nothing (the system clears their
// pages when they are first written, on the threads that write them). Large
// buffers are mapped pages.
template <class T> struct UninitialisedAllocator : std::allocator<T> {
    template <class U> struct rebind { using other = UninitialisedAllocator<U>; };
    UninitialisedAllocator() = default;
    template <class U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n < kPrgLargeBytes / sizeof(T)) return std::allocator<T>::allocate(n);
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* block = prg_map_large(n * sizeof(T));
        if (!block) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* p, size_t n) noexcept {
        if (n < kPrgLargeBytes / sizeof(T))
            std::allocator<T>::deallocate(p, n);
        else
            prg_unmap_large(p, n * sizeof(T));
    }
    template <class U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <class U, class... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
template <class T> using ScratchVector = std::vector<T, UninitialisedAllocator<T>>;

// A vector of `count` value-initialised elements (uninitialised ones for a
// ScratchVector); an allocation failure (or a count beyond what memory can
// address) ends the run with the allocation report.
template <class T, class Vector = std::vector<T>>
Vector prg_alloc(const char* owner, const char* item, uint64_t count) {
    const uint64_t limit = Vector().max_size();
    if (count > limit) prg_alloc_failed(owner, item, count * sizeof(T));
    try {
        return Vector(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        prg_alloc_failed(owner, item, count * sizeof(T));
    } catch (const std::length_error&) {
        prg_alloc_failed(owner, item, count * sizeof(T));
    }
}

// The allocation report for a failure that escaped prg_alloc
// (std::string, containers); main calls it when it catches std::bad_alloc.
std::string prg_bad_alloc_report();

// Reads `bytes` bytes at `offset` of an open file without moving its stream,
// so that several threads may read it at once; false when it holds fewer.
bool prg_read_at(std::FILE* fp, uint64_t offset, uint64_t bytes, void* out);

// ---------------------------------------------------------------- file names
std::string prg_basename(const std::string& path);
std::string prg_pathname(const std::string& path);
std::string prg_extname(const std::string& path);
std::string prg_outname(const std::string& name, const std::string& def_name, const std::string& ext,
                        const std::string& def_dir);
// The name of an analysis result of the image `image_name`: in `dir` (when
// given), the image's file name without its extension, which starts at the
// last ".", then `suffix`: "scan.v2.kvf" gives "scan.v2<suffix>".
std::string prg_result_name(const std::string& dir, const std::string& image_name, const std::string& suffix);

// ---------------------------------------------------------------- input files
// Only regular files are read: a FIFO or a device would block the run or never
// end. Stops the run when `name` exists and is anything else.
void prg_refuse_special_file(const char* origin, const std::string& name);
// The files this run has read, known by device and inode: default output
// names, the normalisation command's output and a new log never replace one.
void prg_note_input(const std::string& name);
// The name under which this run read the file `name` is, or "" when it read
// no such file.
std::string prg_input_named(const std::string& name);
void prg_forget_inputs(); // a fresh run (tests): the inputs and the files written
// The files put in place by AtomicOutFile since the last prg_forget_inputs, in order.
const std::vector<std::string>& prg_files_written();

// Writing never destroys the previous file: data go to a temporary file in the
// target's directory, renamed over the target only when everything succeeded.
class AtomicOutFile {
  public:
    explicit AtomicOutFile(const std::string& target);
    ~AtomicOutFile(); // removes the temporary file unless committed
    AtomicOutFile(const AtomicOutFile&) = delete;
    AtomicOutFile& operator=(const AtomicOutFile&) = delete;
    std::FILE* get() const { return fp_; }
    bool is_open() const { return fp_ != nullptr; }
    // The temporary file's name, for a library that writes a file by name
    // (nothing must be written through get() then).
    const std::string& temp_path() const { return temp_; }
    // Flushes, closes and renames; false (temporary removed) on any failure.
    bool commit();

  private:
    std::string target_;
    std::string temp_;
    std::FILE* fp_ = nullptr;
};
