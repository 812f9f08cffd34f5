// Shared test helpers: temporary directories, small file helpers and running
// the built zandor binary as a user would.
#pragma once

#include "prg_lib.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

// Every test runs with the engine's messages on the standard streams, as the
// program shows them; this sink records the progress reports meanwhile, as
// "what done/total", while it is alive.
void use_standard_streams();
class ProgressRecord : public StreamSink {
  public:
    ProgressRecord();
    ~ProgressRecord() override;
    ProgressRecord(const ProgressRecord&) = delete;
    ProgressRecord& operator=(const ProgressRecord&) = delete;
    void progress(const char* what, int64_t done, int64_t total) override;
    std::vector<std::string> reports;
};

// A fresh directory under /tmp, removed with its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Test fixture that works inside a fresh temporary directory (the current
// directory is changed for the duration of the test, as settings files and
// outputs are looked for there).
class InTempDir : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string file(const std::string& name) const { return dir_->file(name); }
    std::unique_ptr<TempDir> dir_;

  private:
    std::string old_cwd_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);
bool contains_line(const std::string& text, const std::string& line);
// `out` without the clock lines of "%" commands ("# Mon Dec  7 12:06:28 2026"),
// which differ between two runs.
std::string without_clock_lines(const std::string& out);

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
};

// Runs the built zandor in `cwd` with the invocation name `argv0` (which
// decides the settings file and default extension) and the given words.
// `stdin_text` is fed to standard input (empty: /dev/null).
// file_kib > 0: files the run writes may not grow beyond that many KiB (a
// full disk; the writes fail, the signal is ignored).
RunResult run_zandor(const std::string& cwd, const std::vector<std::string>& words,
                     const std::string& stdin_text = "", const std::string& argv0 = "zandor",
                     const std::vector<std::string>& extra_env = {}, int64_t file_kib = 0);

// Path of the shared folder of real sample files, or "" when it is absent.
std::string real_data_dir();

// Little-endian byte helpers for building binary test files.
void put_u16le(std::string& s, uint16_t v);
void put_u32le(std::string& s, uint32_t v);
void put_u16be(std::string& s, uint16_t v);
void put_u32be(std::string& s, uint32_t v);

} // namespace zt
