#pragma once
#include <string>
#include <vector>

#include "resolve/Quality.h"

// Root address of the video site; every accepted link contains it.
extern const char* const SiteRoot;

// Quality name of a format code ("22" -> "MP4 HD (720p)"); any other number or
// text gives "undefined (" + itag + ")".
std::string QualityName(const std::string& itag);

// First stage: the raw stream lines ("Quality: <name>, URL: <address>"), the title
// text between "<title>" and "- YouTube", and the running-time digits.
// lines is replaced.
void ParseWatchPage(const std::string& page, std::vector<std::string>& lines, std::string& title,
                    std::string& lengthText);

// The whole parse: the quality list in page order (duplicates kept), the title
// decoded ("+" and "%" escapes; empty when the bytes are not valid UTF-8) and the
// running-time digits (empty when absent). qualities is replaced.
void ReadWatchPage(const std::string& page, TQualityList& qualities, std::string& title,
                   std::string& lengthText);

namespace resolve {

// True when text is well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF).
bool IsValidUtf8(const std::string& text);

}  // namespace resolve
