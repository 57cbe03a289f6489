#include "tools/cvtcore/StreamModes.h"

#include "tools/cvtcore/CvtCore.h"

namespace cvtcore {
namespace {

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Every line "Name: value" without control characters, so nothing can be
// smuggled into the requests as an extra header or a second request.
bool ValidHeaderLines(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return false;  // each line ends with CR LF
    const std::string line = text.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    for (char c : line)
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return false;
    pos = end + 2;
  }
  return true;
}

}  // namespace

bool IsStreamCall(const std::vector<std::string>& args) {
  return !args.empty() && (args[0] == "-merge" || args[0] == "-fetch");
}

bool ParseStreamArguments(const std::vector<std::string>& args, StreamRequest& request,
                          std::string& error) {
  request = StreamRequest{};
  if (!IsStreamCall(args)) {
    error = "not a -merge or -fetch call";
    return false;
  }
  request.kind = args[0] == "-merge" ? StreamRequest::Merge : StreamRequest::Fetch;
  size_t i = 1;
  if (request.kind == StreamRequest::Fetch) {
    if (i >= args.size()) {
      error = "missing address for -fetch";
      return false;
    }
    request.address = args[i++];
    // Only the network: a playlist must not make ffmpeg read local files or devices.
    if (!StartsWith(request.address, "http://") && !StartsWith(request.address, "https://")) {
      error = "-fetch takes an http or https address";
      return false;
    }
  }
  int inputs = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) {
      error = "missing value for " + a;
      return false;
    }
    const std::string& value = args[++i];
    if (a == "-i" && request.kind == StreamRequest::Merge && inputs < 2) {
      (inputs++ == 0 ? request.video : request.audio) = value;
    } else if (a == "-headers" && request.kind == StreamRequest::Fetch) {
      if (!ValidHeaderLines(value)) {
        error = "-headers takes lines \"Name: value\", each ended by CR LF";
        return false;
      }
      request.headers = value;
    } else if (a == "-y") {
      request.output = value;
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  if (request.kind == StreamRequest::Merge && inputs != 2) {
    error = "-merge needs two inputs (-i video -i audio)";
    return false;
  }
  if (request.output.empty()) {
    error = "no output file given (-y)";
    return false;
  }
  return true;
}

std::vector<std::string> FfmpegStreamArguments(const StreamRequest& request,
                                               const std::string& ffmpeg, int progressFd) {
  std::vector<std::string> argv = {
      ffmpeg,          "-hide_banner", "-nostdin",  "-nostats",
      "-loglevel",     "level+info",   "-progress", "pipe:" + std::to_string(progressFd),
      "-stats_period", "0.5",          "-y"};
  if (request.kind == StreamRequest::Merge) {
    argv.insert(argv.end(), {"-i", FileUrl(request.video), "-i", FileUrl(request.audio), "-map",
                             "0:v:0", "-map", "1:a:0"});
  } else {
    if (!request.headers.empty()) argv.insert(argv.end(), {"-headers", request.headers});
    // The playlist's segments may only be fetched over the network as well; a
    // server that stops answering ends the fetch after 30 s instead of never.
    argv.insert(argv.end(), {"-protocol_whitelist", "http,https,tcp,tls,crypto,httpproxy",
                             "-rw_timeout", "30000000", "-i", request.address});
  }
  argv.insert(argv.end(), {"-c", "copy", FileUrl(request.output)});
  return argv;
}

}  // namespace cvtcore
