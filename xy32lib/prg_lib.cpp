#include "prg_lib.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kLibOrigin = "../xy32lib/prg_lib";

// Settings lines and interactive lines are read whole; beyond this length the
// input is not a settings file (a stray binary, /dev/zero) and is refused.
constexpr size_t kMaxLineLength = 1 << 20;

// FILE redirections nest; a file that redirects to itself must not recurse
// until the stack overflows.
constexpr int kMaxFileDepth = 32;

thread_local ProgramState* bound_state = nullptr;

void write_warning(const std::string& line) {
    MessageSink* sink = prg_state().sink;
    if (prg_warnings_shown() && sink) sink->notice(line);
}

void release_held_warnings() {
    prg_state().warnings.holding = false;
    for (const std::string& line : prg_state().warnings.held)
        write_warning(line);
    prg_state().warnings.held.clear();
}

bool is_blank_text(const char* text) {
    for (; *text; ++text)
        if (*text != ' ' && *text != '\t') return false;
    return true;
}

// An integer value that the getter read only in part or not at all.
void check_integer_text(const char* key, const std::string& text, int32_t used) {
    const LeadingInteger n = leading_integer(text.c_str());
    const char* rest = text.c_str() + n.consumed;
    if (!n.found) {
        prg_warning("%s = '%s' is not a whole number, %s stays %d", key, text.c_str(), key, used);
    } else if (!n.fits32) {
        prg_warning("%s = '%s' is beyond the 32-bit range, %s stays %d", key, text.c_str(), key, used);
    } else if (!is_blank_text(rest)) {
        const bool hexadecimal = (*rest == 'x' || *rest == 'X') && rest[-1] == '0';
        if (hexadecimal)
            prg_warning("%s = '%s' is read as %d: hexadecimal is not read, write %lld", key, text.c_str(),
                        used, std::strtoll(text.c_str(), nullptr, 16));
        else
            prg_warning("%s = '%s' is read as %d: '%s' is ignored", key, text.c_str(), used, rest);
    }
}

// A list of numbers read as far as `consumed`; the rest, when not blank, was
// not read.
void check_number_list(const char* key, const std::string& text, size_t consumed, int read) {
    const char* rest = text.c_str() + consumed;
    if (is_blank_text(rest)) return;
    if (read == 0)
        prg_warning("%s = '%s' is not a number, %s is unchanged", key, text.c_str(), key);
    else
        prg_warning("%s = '%s' is read as %d number(s): '%s' is ignored", key, text.c_str(), read, rest);
}

bool is_blank_or_eol(char c) {
    return c == ' ' || c == '\n' || c == '\r';
}

void open_log_once() {
    ProgramState& state = prg_state();
    if (state.log_mode == 0 || state.log) return;
    const std::string name = state.name + ".log";
    if (state.log_mode == 1 && !prg_input_named(name).empty()) {
        state.log_mode = 0;
        v_fatal(kLibOrigin, "LOG = 1 would empty '%s', which this run reads as '%s'", name.c_str(),
                prg_input_named(name).c_str());
    }
    if (state.log_mode == 1 || state.log_mode == 2)
        state.log.reset(std::fopen(name.c_str(), state.log_mode == 1 ? "w" : "a"));
    state.log_mode = 0;
}

void write_message(std::FILE* stream, const std::string& text, bool flush_log) {
    open_log_once();
    ProgramState& state = prg_state();
    if (std::FILE* log = state.log.get()) {
        std::fwrite(text.data(), 1, text.size(), log);
        if (flush_log) std::fflush(log);
    }
    if (stream != stdout)
        std::fwrite(text.data(), 1, text.size(), stream);
    else if (state.sink)
        state.sink->report(text);
}

bool is_regular_file(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void read_redirected_file(const std::string& value) {
    const std::string name = prg_home_name(value);
    if (prg_state().settings.file_depth >= kMaxFileDepth)
        v_fatal("prg_initag", "FILE redirections nested more than %d deep at '%s' (a redirection cycle?)",
                kMaxFileDepth, name.c_str());
    // A FIFO or a device would block or never end: only regular files are read.
    if (!is_regular_file(name)) {
        if (::access(name.c_str(), F_OK) == 0)
            v_fatal("prg_initag", "unable to open file %s (not a regular file)", name.c_str());
        v_error("prg_initag", "unable to open file %s", name.c_str());
    }
    std::FILE* fp = std::fopen(name.c_str(), "r");
    if (!fp) v_error("prg_initag", "unable to open file %s", name.c_str());
    prg_note_input(name);
    prg_screen("now using file '%s'\n", name.c_str());
    prg_state().settings.files_read.push_back(name);
    ++prg_state().settings.file_depth;
    try {
        prg_state().settings.param_proc(fp);
    } catch (...) {
        --prg_state().settings.file_depth;
        std::fclose(fp);
        throw;
    }
    --prg_state().settings.file_depth;
    std::fclose(fp);
    prg_screen("end of file '%s', back to previous file\n", name.c_str());
}

bool scan_double(const char* text, double& out, int* consumed) {
    int n = 0;
    double v = 0;
    if (std::sscanf(text, " %lf%n", &v, &n) != 1) return false;
    out = v;
    if (consumed) *consumed = n;
    return true;
}

} // namespace

// ---------------------------------------------------------------- job state

ProgramState& prg_state() {
    if (!bound_state) throw std::logic_error("no job state is bound to this thread");
    return *bound_state;
}

ProgramScope::ProgramScope(ProgramState& state) : previous_(bound_state) {
    bound_state = &state;
}

ProgramScope::~ProgramScope() {
    bound_state = previous_;
}

// ---------------------------------------------------------------- text helpers

LeadingInteger leading_integer(const char* text) {
    LeadingInteger r;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    const bool overflow = errno == ERANGE;
    errno = 0; // an out-of-range number is the caller's to report, not a system error
    if (end == text) return r;
    r.found = true;
    r.value = v;
    r.fits32 = !overflow && v >= INT32_MIN && v <= INT32_MAX;
    r.consumed = static_cast<int>(end - text);
    return r;
}

bool scan_int32(const char* text, int32_t& value, int* consumed) {
    const LeadingInteger n = leading_integer(text);
    if (!n.fits32) return false;
    value = static_cast<int32_t>(n.value);
    if (consumed) *consumed = n.consumed;
    return true;
}

// ---------------------------------------------------------------- settings file

bool prg_readline(std::FILE* stream, std::string& line, bool& complete) {
    line.clear();
    complete = false;
    int c;
    // Byte by byte, so that NUL bytes count like any other and cannot hide a
    // line feed or keep an endless input (/dev/zero) below the limit.
    while ((c = getc_unlocked(stream)) != EOF) {
        if (c == '\n') {
            complete = true;
            return true;
        }
        line.push_back(static_cast<char>(c));
        if (line.size() > kMaxLineLength)
            v_fatal("prg_readline", "input line longer than %zu characters refused", kMaxLineLength);
    }
    return !line.empty();
}

namespace {
// "<program base name>.ini": the invocation name without its directory, cut
// at its first ".".
std::string default_settings_name() {
    return prg_basename(prg_state().name) + ".ini";
}

// A settings file named on the command line must be there.
std::FILE* open_named_settings(const std::string& name) {
    prg_refuse_special_file("prg_inifile", name);
    std::FILE* fp = std::fopen(name.c_str(), "r");
    if (!fp) v_error("prg_inifile", "unable to open settings file %s", name.c_str());
    return fp;
}
} // namespace

void prg_inifile(ParamProc proc, const std::string& named) {
    prg_state().settings.param_proc = proc;
    prg_state().warnings.holding = true;
    prg_state().settings.files_read.clear();
    const std::string name = named.empty() ? default_settings_name() : prg_home_name(named);
    std::FILE* fp = nullptr;
    if (!named.empty())
        fp = open_named_settings(name);
    else if (is_regular_file(name))
        fp = std::fopen(name.c_str(), "r");
    if (!fp) {
        prg_screen(" no file '%s' using defaults\n", name.c_str());
        release_held_warnings();
        return;
    }
    prg_note_input(name);
    prg_screen(" using file '%s'\n", name.c_str());
    prg_state().settings.files_read.push_back(name);
    try {
        proc(fp);
    } catch (...) {
        std::fclose(fp);
        throw;
    }
    std::fclose(fp);
    release_held_warnings();
}

bool prg_inikey(const IniTag& tag, const char* key) {
    if (tag.census) {
        tag.census->push_back(key);
        return false;
    }
    return tag.key == key;
}

bool prg_take_layer_key(const IniTag& tag) {
    if (prg_inikey(tag, "FILE")) {
        std::string name;
        if (tag.has_value && prg_inistr(tag, "FILE", name)) read_redirected_file(name);
        return true;
    }
    return prg_iniint(tag, "LOG", prg_state().log_mode) ||
           prg_iniint(tag, "QUIET_WARNINGS", prg_state().quiet_warnings);
}

const std::vector<std::string>& prg_settings_files() {
    return prg_state().settings.files_read;
}

bool prg_initag(const std::string& line, IniTag& tag) {
    tag = IniTag();
    size_t start = 0;
    while (start < line.size() && is_blank_or_eol(line[start]))
        ++start;
    if (start == line.size() || line[start] == '#') return false;
    std::string text = line.substr(start, line.find('#', start) - start);

    const size_t eq = text.find('=');
    std::string key = text.substr(0, eq);
    while (!key.empty() && key.back() == ' ')
        key.pop_back();
    if (eq == std::string::npos) {
        while (!key.empty() && is_blank_or_eol(key.back()))
            key.pop_back();
    }
    if (key.empty()) return false;
    tag.key = key;
    if (eq != std::string::npos) {
        size_t v = eq + 1;
        while (v < text.size() && text[v] == ' ')
            ++v;
        std::string value = text.substr(v);
        while (!value.empty() && is_blank_or_eol(value.back()))
            value.pop_back();
        tag.value = value;
        tag.has_value = true;
    }
    return !prg_take_layer_key(tag);
}

// A key without "=" matches but sets nothing; the echo then shows the value in force.
bool prg_inistr(const IniTag& tag, const char* key, std::string& target) {
    if (!prg_inikey(tag, key)) return false;
    if (tag.has_value) target = tag.value;
    prg_screen(" %10s= '%s'\n", key, target.c_str());
    return true;
}

bool prg_iniint(const IniTag& tag, const char* key, int32_t& target) {
    if (!prg_inikey(tag, key)) return false;
    int32_t v = 0;
    if (tag.has_value && scan_int32(tag.value.c_str(), v, nullptr)) target = v;
    prg_screen(" %10s= %d\n", key, target);
    if (tag.has_value) check_integer_text(key, tag.value, target);
    return true;
}

bool prg_iniflt(const IniTag& tag, const char* key, float& target) {
    if (!prg_inikey(tag, key)) return false;
    float v = 0;
    int used = 0;
    const bool read = tag.has_value && std::sscanf(tag.value.c_str(), " %f%n", &v, &used) == 1;
    if (read) target = v;
    prg_screen(" %10s= %g\n", key, static_cast<double>(target));
    if (tag.has_value && !read)
        prg_warning("%s = '%s' is not a number, %s stays %g", key, tag.value.c_str(), key,
                    static_cast<double>(target));
    else if (read && !is_blank_text(tag.value.c_str() + used))
        prg_warning("%s = '%s' is read as %g: '%s' is ignored", key, tag.value.c_str(),
                    static_cast<double>(target), tag.value.c_str() + used);
    return true;
}

bool prg_inidbln(const IniTag& tag, const char* key, double* target, int n) {
    if (!prg_inikey(tag, key)) return false;
    if (n < 1) n = 1;
    const char* p = tag.value.c_str();
    int read = 0;
    for (; tag.has_value && read < n; ++read) {
        int used = 0;
        if (!scan_double(p, target[read], &used)) break;
        p += used;
    }
    if (tag.has_value) check_number_list(key, tag.value, static_cast<size_t>(p - tag.value.c_str()), read);
    prg_screen(" %10s=", key);
    for (int i = 0; i < n; ++i) {
        if (i > 0 && i % 4 == 0) prg_screen("\n %10s=", "...");
        prg_screen(" %14lg ", target[i]);
    }
    prg_screen("\n");
    return true;
}

bool prg_inidblt(const IniTag& tag, const char* key, double* target, int capacity) {
    if (!prg_inikey(tag, key)) return false;
    const char* p = tag.value.c_str();
    int32_t first = 0, count = 0;
    int used = 0;
    if (!tag.has_value || !scan_int32(p, first, &used)) {
        prg_screen(" %10s= %2d %2d\n", key, 0, 0); // nothing set
        if (tag.has_value) check_number_list(key, tag.value, 0, 0);
        return true;
    }
    p += used;
    int numbers = 1;
    if (!scan_int32(p, count, &used)) {
        count = 0;
    } else {
        p += used;
        ++numbers;
    }
    if (first < 0 || count < 0 || static_cast<int64_t>(first) + count > capacity)
        v_fatal("prg_inidblt", "%s = %d %d addresses elements %d to %lld, outside 0 to %d", key, first, count,
                first, static_cast<long long>(first) + count - 1, capacity - 1);
    int read = 0;
    for (; read < count; ++read) {
        if (!scan_double(p, target[first + read], &used)) break;
        p += used;
    }
    check_number_list(key, tag.value, static_cast<size_t>(p - tag.value.c_str()), numbers + read);
    prg_screen(" %10s= %2d %2d", key, first, count);
    for (int k = 0; k < count; ++k)
        prg_screen(" %14lg ", target[first + k]);
    prg_screen("\n");
    return true;
}

std::string prg_home_name(const std::string& name) {
    if (name.empty() || name[0] != '~') return name;
    if (name.size() < 2 || name[1] != '/')
        v_fatal("prg_home_name", "unable to expand file name '%s' for other users", name.c_str());
    const char* home = std::getenv("HOME");
    if (!home) v_fatal("prg_home_name", "HOME is not set, unable to expand file name '%s'", name.c_str());
    return std::string(home) + name.substr(1);
}

namespace {
size_t skip_name_prefix(const std::string& prefix, const std::string& text) {
    size_t p = prefix.size();
    if (p > text.size()) return text.size();
    while (p < text.size() && (text[p] == ' ' || text[p] == '='))
        ++p;
    return p;
}
} // namespace

std::string prg_get_name(const std::string& prefix, const std::string& text) {
    const size_t p = skip_name_prefix(prefix, text);
    const size_t end = text.find(' ', p);
    return text.substr(p, end == std::string::npos ? std::string::npos : end - p);
}

std::string prg_get_names(const std::string& prefix, const std::string& text) {
    return text.substr(skip_name_prefix(prefix, text));
}

void prg_iniuse(const std::string& name) {
    prg_notice("valid options in %s.ini files are : \n", name.c_str());
    prg_notice(" LOG = 0 (none), 1 (new0 or 2 (append)\n");
    prg_notice(" FILE = redirection in the ini file\n");
}

// ---------------------------------------------------------------- warnings

void prg_warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = " warning : " + prg_vformat(format, args) + "\n";
    va_end(args);
    if (prg_state().warnings.strict) ++prg_state().warnings.raised;
    if (prg_state().warnings.holding) {
        prg_state().warnings.held.push_back(line);
        return;
    }
    write_warning(line);
    if (prg_state().warnings.past_checkpoint) prg_strict_checkpoint();
}

void prg_set_strict_warnings(bool strict) {
    prg_state().warnings.strict = strict;
    prg_state().warnings.past_checkpoint = false;
    prg_state().warnings.raised = 0;
}

bool prg_warnings_shown() {
    return prg_state().quiet_warnings == 0 || prg_state().warnings.strict;
}

void prg_strict_checkpoint() {
    if (!prg_state().warnings.strict) return;
    prg_state().warnings.past_checkpoint = true;
    if (prg_state().warnings.raised > 0)
        v_fatal("zandor", "%d warning(s) with --strict", prg_state().warnings.raised);
}

size_t prg_edit_distance(std::string_view a, std::string_view b, size_t limit) {
    const size_t gap = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    if (gap > limit) return limit + 1;
    auto same = [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    };
    // Two rows of the edit table over b; each row is the distance from a
    // prefix of a to every prefix of b.
    std::vector<size_t> previous(b.size() + 1), current(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        previous[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (size_t j = 1; j <= b.size(); ++j)
            current[j] = std::min(
                {previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
        std::swap(previous, current);
    }
    return std::min(previous[b.size()], limit + 1);
}

// ---------------------------------------------------------------- messages

std::string prg_vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[256];
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string prg_format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = prg_vformat(format, args);
    va_end(args);
    return s;
}

void prg_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = prg_vformat(format, args);
    va_end(args);
    write_message(stdout, text, true);
}

void prg_fprintf(std::FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = prg_vformat(format, args);
    va_end(args);
    write_message(stream, text, false);
}

void prg_screen(const char* format, ...) {
    va_list args;
    va_start(args, format);
    prg_write(stdout, prg_vformat(format, args));
    va_end(args);
}

void prg_notice(const char* format, ...) {
    va_list args;
    va_start(args, format);
    prg_write(stderr, prg_vformat(format, args));
    va_end(args);
}

void prg_write(std::FILE* stream, std::string_view text) {
    if (stream == stdout) {
        if (MessageSink* sink = prg_state().sink) sink->screen(text);
    } else if (stream == stderr) {
        if (MessageSink* sink = prg_state().sink) sink->notice(text);
    } else {
        std::fwrite(text.data(), 1, text.size(), stream);
    }
}

void prg_stream_printf(std::FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    prg_write(stream, prg_vformat(format, args));
    va_end(args);
}

void prg_set_sink(MessageSink* to) {
    prg_state().sink = to;
}

void prg_flush_messages() {
    if (MessageSink* sink = prg_state().sink) sink->flush();
}

void prg_fflush(std::FILE* stream) {
    std::fflush(stream);
    if (std::FILE* log = prg_state().log.get()) std::fflush(log);
}

void prg_log_reset() {
    prg_state().log.reset();
}

const std::vector<std::string>& prg_files_written() {
    return prg_state().files_written;
}

namespace {
[[noreturn]] void fatal_report(const char* origin, int err, const std::string& message) {
    release_held_warnings();
    std::string report = prg_format(" %s error", origin);
    if (err != 0) report += prg_format(" (errno=%d)", err);
    report += " : ";
    report += message;
    // Many messages end with their own line feed: drop one, so that the report
    // and its ", abort!" stay on one line for the scripts that grep it.
    if (!report.empty() && report.back() == '\n') report.pop_back();
    report += ", abort!\n\n";
    Fatal fatal(3);
    fatal.origin = origin;
    fatal.err = err;
    fatal.message = message;
    fatal.report = std::move(report);
    throw fatal;
}
} // namespace

void v_error(const char* origin, const char* format, ...) {
    const int err = errno;
    va_list args;
    va_start(args, format);
    const std::string message = prg_vformat(format, args);
    va_end(args);
    fatal_report(origin, err, message);
}

void v_fatal(const char* origin, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = prg_vformat(format, args);
    va_end(args);
    fatal_report(origin, 0, message);
}

// ---------------------------------------------------------------- input files

namespace {
bool identity_of(const std::string& name, ProgramState::FileIdentity& id) {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) return false;
    id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}
} // namespace

void prg_refuse_special_file(const char* origin, const std::string& name) {
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        v_fatal(origin, "'%s' is not a regular file: only regular files are read", name.c_str());
}

void prg_note_input(const std::string& name) {
    ProgramState::FileIdentity id;
    if (identity_of(name, id)) prg_state().inputs.emplace(id, name);
    errno = 0;
}

std::string prg_input_named(const std::string& name) {
    ProgramState::FileIdentity id;
    const bool exists = identity_of(name, id);
    errno = 0;
    if (!exists) return std::string();
    const auto it = prg_state().inputs.find(id);
    return it == prg_state().inputs.end() ? std::string() : it->second;
}

void prg_forget_inputs() {
    prg_state().inputs.clear();
    prg_state().files_written.clear();
}

// ---------------------------------------------------------------- allocation

void* prg_map_large(size_t bytes) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    if (bytes >= kPrgLargeBytes) madvise(block, bytes, MADV_HUGEPAGE);
#endif
    return block;
}

void prg_unmap_large(void* block, size_t bytes) {
    munmap(block, bytes);
}

bool prg_read_at(std::FILE* fp, uint64_t offset, uint64_t bytes, void* out) {
    auto* to = static_cast<uint8_t*>(out);
    while (bytes > 0) {
        const ssize_t got = pread(fileno(fp), to, static_cast<size_t>(std::min<uint64_t>(bytes, 1u << 30)),
                                  static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        offset += static_cast<uint64_t>(got);
        to += got;
        bytes -= static_cast<uint64_t>(got);
    }
    return true;
}

void prg_alloc_failed(const char* owner, const char* item, uint64_t bytes) {
    v_error(kLibOrigin, " %s : allocating memory : %s %llu\n", owner, item,
            static_cast<unsigned long long>(bytes));
}

std::string prg_bad_alloc_report() {
    return prg_format(" %s error : %s, abort!\n\n", kLibOrigin,
                      " zandor : allocating memory : (unknown size)\n");
}

// ---------------------------------------------------------------- file names

std::string prg_basename(const std::string& path) {
    const size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return base.substr(0, base.find('.'));
}

std::string prg_pathname(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string prg_extname(const std::string& path) {
    const size_t dot = path.find('.');
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

namespace {
// `leaf` in the directory `dir` (none when empty).
std::string in_directory(std::string dir, const std::string& leaf) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir + leaf;
}
} // namespace

std::string prg_outname(const std::string& name, const std::string& def_name, const std::string& ext,
                        const std::string& def_dir) {
    std::string dir = prg_pathname(name);
    if (dir.empty()) dir = def_dir;
    std::string base = prg_basename(name);
    if (base.empty()) base = prg_basename(def_name);
    return in_directory(dir, base + ext);
}

std::string prg_result_name(const std::string& dir, const std::string& image_name,
                            const std::string& suffix) {
    std::string leaf = image_name.substr(prg_pathname(image_name).size());
    const size_t dot = leaf.rfind('.');
    if (dot != std::string::npos) leaf.erase(dot);
    return in_directory(dir, leaf + suffix);
}

// ---------------------------------------------------------------- safe output files

AtomicOutFile::AtomicOutFile(const std::string& target) : target_(target) {
    const std::string dir = prg_pathname(target);
    const size_t slash = target.rfind('/');
    const std::string leaf = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = dir + "." + leaf + ".tmpXXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = ::mkstemp(buf.data());
    if (fd < 0) return;
    // mkstemp creates the file private; give it the mode a plain fopen would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    temp_ = buf.data();
    fp_ = ::fdopen(fd, "wb");
    if (!fp_) {
        ::close(fd);
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

AtomicOutFile::~AtomicOutFile() {
    if (fp_) std::fclose(fp_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool AtomicOutFile::commit() {
    if (!fp_) return false;
    const bool written = std::fflush(fp_) == 0 && !std::ferror(fp_);
    const bool closed = std::fclose(fp_) == 0;
    fp_ = nullptr;
    if (!written || !closed || std::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    temp_.clear();
    prg_state().files_written.push_back(target_);
    return true;
}

// ---------------------------------------------------------------- progress

void prg_progress(const char* what, int64_t done, int64_t total) {
    if (MessageSink* sink = prg_state().sink) sink->progress(what, done, total);
}
