// Start-up checks that warn, before any work, about what would otherwise fail
// or be lost only at the end of a long run.
#pragma once

#include <string>
#include <vector>

// Warns when the OUT directory, or the directory of a name given to a writer
// word (%X, %Y, %Z, %g) among `words`, does not exist or is not writable.
// The run goes on; the write itself still fails where it did.
void warn_unwritable_output_dirs(const std::string& out_dir, const std::vector<std::string>& words);

// Follows the words of a run to find a D= or F= word that no image follows.
class DarkFlatTracker {
  public:
    void saw_word(const std::string& word);
    bool has_unused() const { return !unused_.empty(); }
    // Warns about the last D= or F= word when no image came after it.
    void finish() const;

  private:
    std::string unused_; // the last D= or F= word no image has come after
};
