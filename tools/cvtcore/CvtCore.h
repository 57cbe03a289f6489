#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Pieces of the encoder adapter that need no process: turning the old option
// syntax into current ffmpeg arguments and turning ffmpeg's output into the
// console lines the conversion runner reads.
namespace cvtcore {

struct Request {
  bool infoOnly = false;  // only "-i <file>" (and -vn): describe the input
  std::string input;
  std::string output;
  bool overwrite = false;
  std::vector<std::string> inputOptions;   // mapped options given before -i
  std::vector<std::string> outputOptions;  // mapped options given after -i
};

// Parses the arguments after the program name. False with a message in error
// for an unknown option, a missing value or a missing input.
bool ParseArguments(const std::vector<std::string>& args, Request& request, std::string& error);

// Every path goes to ffmpeg behind "file:", so a name that starts with "-",
// holds a colon or looks like a protocol is still just that file.
std::string FileUrl(const std::string& path);

// ffmpeg argv (argv[0] = ffmpeg) for a conversion; progress blocks on progressFd.
std::vector<std::string> FfmpegArguments(const Request& request, const std::string& ffmpeg,
                                         int progressFd);
// ffprobe argv for the description of an input.
std::vector<std::string> FfprobeArguments(const std::string& ffprobe, const std::string& input);

// Largest audio bit rate in kbit/s that the encoder takes at this sample rate
// and channel count (measured against the system's ffmpeg 5.1); nothing when
// no limit is known there, which includes rates and channel counts the
// encoder cannot take at all.
std::optional<int> MaxAudioKbit(const std::string& codec, int rate, int channels);

// The request sets an audio bit rate for an encoder with a known limit but
// leaves the sample rate or the channels to the input.
bool NeedsInputAudioFormat(const Request& request);

// The input's audio format as a caller that has already read it passes it on
// (kInputAudioVariable = "<rate> <channels>", 0 for unknown), so no probe
// process starts. False when the text is absent or not two such numbers.
inline constexpr const char* kInputAudioVariable = "CVTCORE_INPUT_AUDIO";
bool ParseInputAudio(const char* text, int& rate, int& channels);

// Lowers a "-b:a" above MaxAudioKbit to that value, with the output's rate and
// channels from "-ar"/"-ac" or else from inputRate/inputChannels (0: unknown,
// nothing changes). Returns the console line that says so, or nothing.
std::optional<std::string> ClampAudioBitrate(Request& request, int inputRate, int inputChannels);

// For a plain PCM WAV file (1 or 2 channels, a complete data chunk): the text
// ffprobe prints for FfprobeArguments, read from the header. Nothing for any
// other file, which then goes to ffprobe: starting it costs more than many a
// short conversion's whole overhead.
std::optional<std::string> WavProbeText(const std::string& path);

// "HH:MM:SS.xx", rounded to the hundredth like ffmpeg does.
std::string FormatDuration(double seconds);

// Console description of an input from ffprobe's default-format output:
// the duration line, video stream lines, and the first audio stream line last
// (the runner's patterns read from "Audio:" to the end of the text).
std::string DescribeProbe(const std::string& ffprobeOutput);

// One line of ffmpeg's log (printed with the level prefix) → the line to pass
// on, or nothing for chatter the runner must not see (stats lines carry
// "time=HH:MM:SS" which the runner would misread).
std::optional<std::string> FilterLogLine(const std::string& line);

// Collects ffmpeg's -progress key=value lines; at the end of each block gives
// the progress line in the runner's dialect ("time=<seconds>.xx").
class ProgressParser {
 public:
  std::optional<std::string> Feed(const std::string& line);

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace cvtcore
