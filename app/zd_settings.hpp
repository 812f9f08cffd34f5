// The settings module: the driver's settings keys, the settings chain and
// the handler of the settings file.
#pragma once

#include "zd_run.hpp"

#include <cstdio>
#include <string>

// Default input extension from the invocation name (".spe", ".kvf", ".gel", ".txt").
std::string default_extension(const std::string& invocation);

// The settings-file handler: reads one settings stream to its end and offers
// each key to the settings chain.
void parameter(std::FILE* stream);

// Sets the defaults of every module of the settings chain.
void settings_defaults();

// Prints the help lines of the settings chain: every topic when `word` has no
// "--usage=", otherwise the topics it names; the statistics keys always in
// statistics mode. `message` fills the name slot of the settings-file lines.
void settings_usage(const std::string& message, const std::string& word);
