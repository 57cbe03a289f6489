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

// The first audio stream as the library reads it.
struct TMediaAudio {
  std::string Container;    // the demuxer's name ("mov,mp4,m4a,3gp,3g2,mj2", "wav", ...)
  long long DurationUs = -1;  // of the whole input; -1 when unknown
  int StreamIndex = 0;
  std::string Codec;        // "aac", "mp3", ...
  int Rate = 0;             // Hz
  int Channels = 0;         // the real count (6 for 5.1)
  std::string Layout;       // "stereo", "mono", "5.1(side)", ...
  long long BitRate = 0;    // bit/s; 0 when the input does not say
};

// Reads the input's first audio stream, with the same bounds as
// DescribeMediaFile. Described means audio holds it.
TMediaInfoResult ReadMediaAudio(const std::string& inFile,
                                std::chrono::steady_clock::time_point deadline,
                                const std::atomic<bool>& stop, TMediaAudio& audio);

// Describes inFile in the encoder's own words: the "Duration:" line and the
// first audio stream's "Stream #0:i: Audio:" line, exactly as the encoder's
// information pass prints them, so the same output parser reads the same
// figures from either. Reading a pipe or a slow disk waits at
// most until deadline; stop is looked at between reads.
TMediaInfoResult DescribeMediaFile(const std::string& inFile,
                                   std::chrono::steady_clock::time_point deadline,
                                   const std::atomic<bool>& stop, std::string& text);
