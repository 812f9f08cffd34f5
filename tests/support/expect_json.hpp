// Reads the few fields tests need from the .expect.json files that come with
// the shared real sample files (no JSON library is a dependency of the tests).
#pragma once

#include <string>
#include <vector>

namespace zt {

// The raw text of the value of the first "key" in `json` (an object or array
// with its brackets, a string with its quotes, or a number), "" when absent.
std::string json_value(const std::string& json, const std::string& key);
// The first key that starts with `prefix`, "" when none does.
std::string json_key_with_prefix(const std::string& json, const std::string& prefix);
// A string value without its quotes (no escapes expected in these files).
std::string json_string(const std::string& json, const std::string& key);
// Every number in a value's text, in order (a number or an array of numbers).
std::vector<double> json_numbers(const std::string& value_text);

} // namespace zt
