#include "expect_json.hpp"

#include <cctype>
#include <cstdlib>

namespace zt {

namespace {

size_t skip_blanks(const std::string& s, size_t i) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    return i;
}

// End (one past) of the string starting with the quote at i.
size_t string_end(const std::string& s, size_t i) {
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '"')
            return i + 1;
    }
    return s.size();
}

// End of the value starting at i.
size_t value_end(const std::string& s, size_t i) {
    if (i >= s.size()) return i;
    if (s[i] == '"') return string_end(s, i);
    if (s[i] != '{' && s[i] != '[') {
        while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' &&
               !std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        return i;
    }
    int depth = 0;
    for (; i < s.size(); ++i) {
        if (s[i] == '"') {
            i = string_end(s, i) - 1;
        } else if (s[i] == '{' || s[i] == '[') {
            ++depth;
        } else if (s[i] == '}' || s[i] == ']') {
            if (--depth == 0) return i + 1;
        }
    }
    return s.size();
}

// Position of the value of the first key matching `match`, npos when none.
template <class Match> size_t find_value(const std::string& s, Match match, std::string* key_found) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '"') continue;
        const size_t end = string_end(s, i);
        const size_t colon = skip_blanks(s, end);
        const std::string key = s.substr(i + 1, end - i - 2);
        if (colon < s.size() && s[colon] == ':' && match(key)) {
            if (key_found) *key_found = key;
            return skip_blanks(s, colon + 1);
        }
        i = end - 1;
    }
    return std::string::npos;
}

} // namespace

std::string json_value(const std::string& json, const std::string& key) {
    const size_t at = find_value(
        json, [&](const std::string& k) { return k == key; }, nullptr);
    if (at == std::string::npos) return "";
    return json.substr(at, value_end(json, at) - at);
}

std::string json_key_with_prefix(const std::string& json, const std::string& prefix) {
    std::string found;
    find_value(
        json, [&](const std::string& k) { return k.compare(0, prefix.size(), prefix) == 0; }, &found);
    return found;
}

std::string json_string(const std::string& json, const std::string& key) {
    const std::string v = json_value(json, key);
    if (v.size() < 2 || v.front() != '"') return "";
    return v.substr(1, v.size() - 2);
}

std::vector<double> json_numbers(const std::string& value_text) {
    std::vector<double> numbers;
    const char* p = value_text.c_str();
    while (*p) {
        if (*p == '-' || std::isdigit(static_cast<unsigned char>(*p))) {
            char* end = nullptr;
            numbers.push_back(std::strtod(p, &end));
            p = end;
        } else {
            ++p;
        }
    }
    return numbers;
}

} // namespace zt
