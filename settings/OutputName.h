#pragma once
#include <ctime>
#include <string>

#include "settings/Settings.h"

// The file name (without folder) that rule makes from a title and an extension
// (with its dot), dated today.
std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext);
// The same for a given local date (tm_year, tm_mon, tm_mday are used).
std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext,
                           const std::tm& date);

// The first of path, folder/base0.ext, folder/base1.ext, ... at which no file
// exists. Only files count and nothing is reserved.
std::string UniquePath(const std::string& path);
