#pragma once
#include <cstddef>
#include <ctime>
#include <string>

#include "settings/Settings.h"

// The file name (without folder) that rule makes from a title and an extension
// (with its dot), dated today: always a usable name (see PrintableFileText, at
// most kMaxFileNameBytes bytes, never empty, hidden, "." or "..").
std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext);
// The same for a given local date (tm_year, tm_mon, tm_mday are used).
std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext,
                           const std::tm& date);

// Longest file name (in bytes) the usual Linux file systems take, and the
// longest extension an output name keeps.
constexpr size_t kMaxFileNameBytes = 255;
constexpr size_t kMaxExtBytes = 32;

// text as printable UTF-8: every byte that is no well-formed character becomes
// "_", every control character (NUL included) a blank.
std::string PrintableFileText(const std::string& text);
// text cut to at most maxBytes without splitting a UTF-8 character.
std::string CutUtf8(const std::string& text, size_t maxBytes);
// base (cut at a character boundary) + suffix, at most kMaxFileNameBytes bytes.
std::string FitFileName(const std::string& base, const std::string& suffix);

// The first of path, folder/base0.ext, folder/base1.ext, ... at which no file
// exists. Only files count and nothing is reserved.
std::string UniquePath(const std::string& path);
