#pragma once
#include <atomic>
#include <string>

#include "resolve/Quality.h"
#include "resolve/YtDlpInfo.h"
#include "resolve/YtDlpPlaylist.h"
#include "resolve/YtDlpRun.h"

// A link read by the external extractor: what becomes the job.
struct TYtResolution {
  bool Ok = false;
  TYtDlpFailure Failure = TYtDlpFailure::None;  // of the run; None with a bad document
  std::string Reason;                           // why not Ok (a note's and box's text)
  std::string Title;
  std::string WebpageUrl;  // where a refresh reads the page again
  int DurationSec = 0;
  bool HasDuration = false;
  TQualityList Qualities;
  int QualityIndex = -1;  // the default line
  // The link is a playlist (Ok false): its flat listing.
  bool Playlist = false;
  TYtPlaylist Listing;
};

// Any thread: runs the extractor on link and makes the quality list and its
// default (audioPreset: the job's preset makes audio only). Never throws.
TYtResolution ResolveWithYtDlp(const std::string& link, const TYtDlpOptions& options,
                               bool audioPreset, const std::atomic<bool>* cancel = nullptr);

// A fresh address of a quality after its old one expired: the extractor reads
// webpageUrl again and the line with the same format id(s) is taken.
struct TYtRefresh {
  bool Ok = false;
  std::string Reason;
  TQuality Quality;  // the new line (addresses, headers)
};
TYtRefresh RefreshYtQuality(const std::string& webpageUrl, const TQuality& old,
                            const TYtDlpOptions& options, const std::atomic<bool>* cancel = nullptr);
