#pragma once
#include <atomic>
#include <chrono>
#include <string>

// The information pass read in this process with libavformat: no encoder
// process starts for it (starting one costs more than the reading).
enum class TMediaInfoResult {
  Described,   // text holds the description
  NotRead,     // the library cannot open or read the file, or it has no audio
  TimedOut,    // the deadline passed first
  Stopped,     // the stop flag was raised
};

// Describes inFile in the encoder's own words: the "Duration:" line and the
// first audio stream's "Stream #0:i: Audio:" line, exactly as the encoder's
// information pass prints them, so the same output parser reads the same
// figures from either. Reading a pipe or a slow disk waits at
// most until deadline; stop is looked at between reads.
TMediaInfoResult DescribeMediaFile(const std::string& inFile,
                                   std::chrono::steady_clock::time_point deadline,
                                   const std::atomic<bool>& stop, std::string& text);
