#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "resolve/Quality.h"

// What the external extractor's JSON document says about one video, and the
// quality list made of it.

// One stream we can fetch: http/https by our engine, an HLS playlist by the encoder.
struct TYtFormat {
  std::string Id;
  std::string Url;
  std::string Ext;  // without the dot, as the extractor names it
  bool Hls = false;
  bool HasVideo = true;  // unknown codecs count as present
  bool HasAudio = true;
  int Height = 0;
  double Kbps = 0;                   // tbr, else abr/vbr
  std::vector<THttpHeader> Headers;  // cookies as one Cookie header
  long long ChunkLimit = 0;
  long long Size = 0;  // filesize, else filesize_approx; 0 when not given
};

struct TYtInfo {
  bool Ok = false;
  std::string Error;  // why not Ok
  std::string Title;
  std::string WebpageUrl;
  int DurationSec = 0;
  bool HasDuration = false;
  std::vector<TYtFormat> Formats;  // fetchable ones, document order
  int Skipped = 0;                 // formats left out (DRM, storyboards, other protocols)
};

// Reads the document (a bad or truncated one gives Ok false). Ok needs at least one
// fetchable format; a document without a "formats" list counts as one format.
TYtInfo ParseYtDlpJson(const std::string& json);

// The qualities of the formats: single streams with video, video+audio pairs where
// the best video has no audio of its own, then audio-only streams; names such as
// "MP4 720p", "WebM 1080p (video + audio)", "M4A audio 129k"; each name once.
TQualityList YtQualities(const std::vector<TYtFormat>& formats);

// The default line: for an audio preset the best audio-only stream (no video bytes
// fetched) where there is one; otherwise the best video at or below 1080p (else the
// smallest above). -1 for an empty list.
int YtDefaultQuality(const TQualityList& qualities, bool audioPreset);
