#include "test_support.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zt {

namespace {
void remove_tree(const std::string& path) {
    const std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}
} // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/zandor_test_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

TempDir::~TempDir() {
    remove_tree(path_);
}

void InTempDir::SetUp() {
    char buf[4096];
    old_cwd_ = ::getcwd(buf, sizeof buf) ? buf : "/";
    dir_ = std::make_unique<TempDir>();
    ASSERT_EQ(::chdir(dir_->path().c_str()), 0);
}

void InTempDir::TearDown() {
    if (::chdir(old_cwd_.c_str()) != 0) std::fprintf(stderr, "could not return to %s\n", old_cwd_.c_str());
    dir_.reset();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool contains_line(const std::string& text, const std::string& line) {
    for (const std::string& l : split_lines(text))
        if (l == line) return true;
    return false;
}

namespace {
bool is_clock_line(const std::string& line) {
    static const std::string days = "Mon Tue Wed Thu Fri Sat Sun";
    return line.size() > 6 && line.compare(0, 2, "# ") == 0 && line[5] == ' ' &&
           days.find(line.substr(2, 3)) != std::string::npos;
}
} // namespace

std::string without_clock_lines(const std::string& out) {
    std::string kept;
    for (const std::string& line : split_lines(out))
        if (!is_clock_line(line)) kept += line + "\n";
    return kept;
}

RunResult run_zandor(const std::string& cwd, const std::vector<std::string>& words,
                     const std::string& stdin_text, const std::string& argv0,
                     const std::vector<std::string>& extra_env, int64_t file_kib) {
    TempDir io;
    const std::string in_path = io.file("stdin"), out_path = io.file("stdout"), err_path = io.file("stderr");
    write_file(in_path, stdin_text);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) ::_exit(120);
        const int in = ::open(in_path.c_str(), O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) ::_exit(121);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const std::string& e : extra_env)
            ::putenv(const_cast<char*>(e.c_str()));
        if (file_kib > 0) {
            const rlimit limit{static_cast<rlim_t>(file_kib) * 1024, static_cast<rlim_t>(file_kib) * 1024};
            ::signal(SIGXFSZ, SIG_IGN);
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(123);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(argv0.c_str()));
        for (const std::string& w : words)
            argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        ::execv(ZANDOR_BIN, argv.data());
        ::_exit(122);
    }
    RunResult result;
    int wstatus = 0;
    if (pid > 0 && ::waitpid(pid, &wstatus, 0) == pid) {
        if (WIFEXITED(wstatus))
            result.status = WEXITSTATUS(wstatus);
        else if (WIFSIGNALED(wstatus))
            result.status = 128 + WTERMSIG(wstatus);
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

std::string real_data_dir() {
    const std::string dir = ZANDOR_REAL_DATA;
    return file_exists(dir + "/MANIFEST.md") ? dir : std::string();
}

void put_u16le(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v & 0xff));
    s.push_back(static_cast<char>(v >> 8));
}
void put_u32le(std::string& s, uint32_t v) {
    put_u16le(s, static_cast<uint16_t>(v & 0xffff));
    put_u16le(s, static_cast<uint16_t>(v >> 16));
}
void put_u16be(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v >> 8));
    s.push_back(static_cast<char>(v & 0xff));
}
void put_u32be(std::string& s, uint32_t v) {
    put_u16be(s, static_cast<uint16_t>(v >> 16));
    put_u16be(s, static_cast<uint16_t>(v & 0xffff));
}

} // namespace zt

namespace zt {
namespace {
StreamSink standard_streams(stdout, stderr);

// The tests' job state, bound to the main thread with the standard streams
// connected before the first test.
class StandardStreams : public ::testing::Environment {
    void SetUp() override {
        bind_.emplace(state_);
        use_standard_streams();
    }
    void TearDown() override { bind_.reset(); }
    ProgramState state_;
    std::optional<ProgramScope> bind_;
};
[[maybe_unused]] ::testing::Environment* const kStandardStreams =
    ::testing::AddGlobalTestEnvironment(new StandardStreams);
} // namespace

void use_standard_streams() {
    prg_set_sink(&standard_streams);
}

ProgressRecord::ProgressRecord() : StreamSink(stdout, stderr) {
    prg_set_sink(this);
}

ProgressRecord::~ProgressRecord() {
    use_standard_streams();
}

void ProgressRecord::progress(const char* what, int64_t done, int64_t total) {
    reports.push_back(
        prg_format("%s %lld/%lld", what, static_cast<long long>(done), static_cast<long long>(total)));
}
} // namespace zt
