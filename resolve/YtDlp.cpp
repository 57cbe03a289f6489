#include "resolve/YtDlp.h"

TYtResolution ResolveWithYtDlp(const std::string& link, const TYtDlpOptions& options,
                               bool audioPreset, const std::atomic<bool>* cancel) {
  TYtResolution r;
  const TYtDlpAnswer answer = RunYtDlp(link, options, cancel);
  r.Failure = answer.Failure;
  r.Reason = answer.Reason;
  if (!answer.Json.empty()) {
    r.Listing = ParseYtDlpPlaylist(answer.Json);
    // A partial answer counts when it is a playlist: its good entries are kept.
    if (r.Listing.IsPlaylist) {
      r.Playlist = true;
      r.Title = r.Listing.Title;
      return r;
    }
  }
  if (answer.Failure != TYtDlpFailure::None) return r;
  TYtInfo info = ParseYtDlpJson(answer.Json);
  if (!info.Ok) {
    r.Reason = info.Error;
    return r;
  }
  r.Title = info.Title;
  r.WebpageUrl = info.WebpageUrl.empty() ? link : info.WebpageUrl;
  r.DurationSec = info.DurationSec;
  r.HasDuration = info.HasDuration;
  r.Qualities = YtQualities(info.Formats);
  r.QualityIndex = YtDefaultQuality(r.Qualities, audioPreset);
  r.Ok = r.QualityIndex >= 0;
  if (!r.Ok) r.Reason = "yt-dlp found no stream this program can fetch";
  return r;
}

TYtRefresh RefreshYtQuality(const std::string& webpageUrl, const TQuality& old,
                            const TYtDlpOptions& options, const std::atomic<bool>* cancel) {
  TYtRefresh r;
  const TYtDlpAnswer answer = RunYtDlp(webpageUrl, options, cancel);
  if (answer.Failure != TYtDlpFailure::None) {
    r.Reason = answer.Reason;
    return r;
  }
  TYtInfo info = ParseYtDlpJson(answer.Json);
  if (!info.Ok) {
    r.Reason = info.Error;
    return r;
  }
  const TQualityList list = YtQualities(info.Formats);
  for (const auto& q : list) {
    if (q.Link.FormatId == old.Link.FormatId && q.Audio.FormatId == old.Audio.FormatId) {
      r.Ok = true;
      r.Quality = q;
      r.Quality.Name = old.Name;
      return r;
    }
  }
  r.Reason = "The page no longer offers the format " + old.Link.FormatId +
             (old.Audio.FormatId.empty() ? std::string() : "+" + old.Audio.FormatId);
  return r;
}
