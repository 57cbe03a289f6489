#pragma once
#include <string>
#include <vector>

// The two calls of the encoder adapter that copy streams instead of encoding:
//   cvtcore -merge -i <video> -i <audio> -y <out>   the first video stream of one
//       file and the first audio stream of the other into one file, no re-encoding;
//   cvtcore -fetch <http(s) address> [-headers <lines>] -y <out>   an HLS playlist
//       (or any stream ffmpeg reads over HTTP) written to a file, no re-encoding.
// The proxy of a fetch comes from the environment (http_proxy), never from argv.
namespace cvtcore {

struct StreamRequest {
  enum Kind { Merge, Fetch } kind = Merge;
  std::string video;    // Merge
  std::string audio;    // Merge
  std::string address;  // Fetch
  std::string headers;  // Fetch: "Name: value" lines, each ended by CR LF
  std::string output;
};

// True when the arguments ask for one of these calls (their first word is
// -merge or -fetch).
bool IsStreamCall(const std::vector<std::string>& args);

// False with a message in error for a wrong call: a missing input or output,
// an unknown option, an address that is not http/https, header text with a
// line that has no "Name: value" shape.
bool ParseStreamArguments(const std::vector<std::string>& args, StreamRequest& request,
                          std::string& error);

// ffmpeg argv (argv[0] = ffmpeg); progress blocks on progressFd.
std::vector<std::string> FfmpegStreamArguments(const StreamRequest& request,
                                               const std::string& ffmpeg, int progressFd);

}  // namespace cvtcore
