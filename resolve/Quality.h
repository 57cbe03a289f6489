#pragma once
#include <string>
#include <utility>
#include <vector>

// One request header a stream's download sends: name and value.
using THttpHeader = std::pair<std::string, std::string>;

// One stream a video offers: its direct address and the file extension of a
// download (".mp4" or ".flv"). The rest is optional, for resolvers whose
// streams need more than a plain GET: headers every request of the download
// sends, the format id the resolver knows the stream by, and the largest
// byte range one request may ask for (0: no limit).
struct TLink {
  TLink() = default;
  // The plain stream most resolvers give: {address, extension}.
  TLink(std::string url, std::string ext) : Url(std::move(url)), Ext(std::move(ext)) {}

  std::string Url;
  std::string Ext;
  std::vector<THttpHeader> Headers;
  std::string FormatId;
  long long ChunkLimit = 0;
  // Bytes the stream is said to hold (0: not known); only for showing progress.
  long long Size = 0;
  bool Hls = false;  // an HLS playlist: fetched by the encoder, not the engine
};

// One line of a job's quality list: the quality name shown to the user and the
// stream behind it. The list owns its entries (plain values).
struct TQuality {
  std::string Name;
  TLink Link;
  // A video+audio pair: the audio stream, merged with Link after the download.
  // Url empty for a single stream.
  TLink Audio;
  int Height = 0;        // of the video; 0 when unknown or audio only
  bool HasVideo = true;  // false for an audio-only stream
  double Kbps = 0;       // total bit rate where known (audio: the audio's)
};

using TQualityList = std::vector<TQuality>;
