#pragma once
#include <string>

// printf-style formatting into a std::string. Only integer, character and
// string conversions are used with it, none of which depend on the locale.
std::string jkFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The base name of a source file, for the "file line #n" part of internal errors.
const char* jkSourceName(const char* path);
