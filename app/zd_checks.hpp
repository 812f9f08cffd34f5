// Start-up checks that warn, before any work, about what would otherwise fail
// or be lost only at the end of a long run.
#pragma once

#include <string>
#include <vector>

// Warns when the OUT directory, or the directory of a name given to a writer
// word (%X, %Y, %Z, %g) among `words`, does not exist or is not writable.
// The run goes on; the write itself still fails where it did.
void warn_unwritable_output_dirs(const std::string& out_dir, const std::vector<std::string>& words);

// With --strict: raises now the warnings that would come later in the run,
// so that it stops before any work. They are those of the options of the
// image words (and of the settings' dark and flat, `settings_images`), of a
// D= or F= word that no image follows, and of the transform rules of the %T
// words and, when a %R word is there, of the radial distribution.
void warn_ahead_of_words(const std::vector<std::string>& words,
                         const std::vector<std::string>& settings_images,
                         const std::vector<std::string>& radial_rules);

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
