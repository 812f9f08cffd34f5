#include "zd_batch.hpp"

#include "prg_lib.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace {

// "--settings=FILE" gives FILE in `value`; an empty FILE is not the option.
bool take_value(const std::string& word, const char* prefix, std::string& value) {
    const std::string p = prefix;
    if (word.size() <= p.size() || word.compare(0, p.size(), p) != 0) return false;
    value = word.substr(p.size());
    return true;
}

bool take_option(const std::string& word, BatchOptions& options) {
    if (word == "--strict") return options.strict = true;
    if (word == "--quiet") return options.quiet = true;
    return take_value(word, "--settings=", options.settings_file) ||
           take_value(word, "-s=", options.settings_file);
}

} // namespace

BatchOptions take_batch_options(int argc, char** argv) {
    BatchOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!take_option(word, options)) options.words.push_back(word);
    }
    return options;
}

QuietStdout::QuietStdout() {
    std::fflush(stdout);
    const int kept = ::dup(STDOUT_FILENO);
    kept_ = kept >= 0 ? ::fdopen(kept, "w") : nullptr;
    const int discard = ::open("/dev/null", O_WRONLY);
    const bool redirected = kept_ && discard >= 0 && ::dup2(discard, STDOUT_FILENO) >= 0;
    if (discard >= 0) ::close(discard);
    if (redirected) return;
    if (kept_)
        std::fclose(kept_);
    else if (kept >= 0)
        ::close(kept);
    v_error("zandor", "unable to set standard output aside for --quiet");
}

QuietStdout::~QuietStdout() {
    std::fflush(stdout);
    std::fflush(kept_);
    ::dup2(::fileno(kept_), STDOUT_FILENO);
    std::fclose(kept_);
}

void QuietStdout::write_batch_lines(const std::vector<std::string>& files, const std::string& final_line) {
    for (const std::string& path : files)
        std::fprintf(kept_, "# written %s\n", path.c_str());
    std::fputs(final_line.c_str(), kept_);
}
