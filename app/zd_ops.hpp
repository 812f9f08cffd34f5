// The "%" image operations on the working image, its output, and the external
// normalisation coefficient.
#pragma once

#include "xy_lib.hpp"

#include <string>

void add_image(const std::string& text, IMG& img);
void mul_image(const std::string& text, IMG& img);
void cut_image(const std::string& text, IMG& img);
void sca_image(const std::string& text, IMG& img);
void grid_image(const std::string& text, IMG& img);
// `text` starts with the letter X, Y or Z.
void put_image(const std::string& text, const std::string& out_dir, IMG& img);
double spec2xl(const std::string& text, const IMG& img);
