#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One stream a video offers: its direct address and the file extension of a
// download (".mp4" or ".flv"). Streams read by the external extractor also carry
// what every request for them must send and how they are fetched.
struct TLink {
  std::string Url;
  std::string Ext;
  std::vector<std::string> Headers;  // "Name: value" lines sent with every request
  int64_t ChunkSize = 0;             // > 0: no request asks for more bytes than this
  std::string FormatId;              // the extractor's id of the stream (refresh key)
  bool Hls = false;                  // an HLS playlist: fetched by the encoder, not the engine
};

// One line of a job's quality list: the quality name shown to the user and the
// stream behind it. The list owns its entries (plain values).
struct TQuality {
  std::string Name;
  TLink Link;
  // A video+audio pair: the audio stream, merged with Link after the download.
  // Url empty for a single stream.
  TLink Audio;
  int Height = 0;       // of the video; 0 when unknown or audio only
  bool HasVideo = true;  // false for an audio-only stream
  double Kbps = 0;      // total bit rate where known (audio: the audio's)
};

using TQualityList = std::vector<TQuality>;
