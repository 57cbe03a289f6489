#pragma once
#include <string>

#include "resolve/Quality.h"

// What resolving one watch page yields; the job-level wrapper copies it into the
// job (Title falls back to the link there, notes go through AppendNote).
struct TPageResolution {
  bool Ok = false;           // a known quality was chosen and has an address
  TQualityList Qualities;    // every stream of the page, page order
  int QualityIndex = -1;     // first line whose name lacks "unde"; -1 when none
  std::string StreamUrl;     // Url of that line
  std::string Title;         // decoded page title; empty when the page has none
  std::string LengthText;    // running-time digits as found
  bool HasDuration = false;  // LengthText was a decimal integer
  int DurationSec = 0;       // its value when HasDuration
  bool ParseError = false;   // no streams: note "parse youtube error" + CR, no label
  std::string Warning;       // non-empty: note under the label "Warning"
};

// Parses page and picks the default quality. Never throws.
TPageResolution ResolveWatchPage(const std::string& page);
