#include "resolve/YtDlpResolver.h"

#include <algorithm>
#include <mutex>

#include "resolve/YtDlp.h"

namespace resolve {
namespace {

std::mutex g_choiceMutex;
TYtDlpChoice g_choice;

class TYtDlpResolver : public IResolver {
 public:
  std::string Name() const override { return kYtDlpResolverName; }
  bool Accepts(const std::string& link) const override { return IsWebLink(link); }
  bool AnyLink() const override { return true; }
  TResolvedJob Resolve(const TResolveRequest& request) const override {
    const TYtDlpChoice choice = YtDlpChoice();
    TYtDlpOptions options;
    options.Program = choice.Program;
    options.CookiesBrowser = choice.CookiesBrowser;
    options.Proxy = request.Proxy;
    if (request.Deadline != TClock::time_point::max()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::seconds>(request.Deadline - TClock::now());
      options.TimeLimitSec =
          static_cast<int>(std::clamp<long long>(left.count(), 1, options.TimeLimitSec));
    }
    TResolvedJob job;
    job.Source = request.Link;
    job.Resolver = Name();
    options.WholePlaylist = request.WholePlaylist;
    TYtResolution r = ResolveWithYtDlp(request.Link, options, false, request.Cancel);
    if (r.Playlist) {
      job.Playlist = true;
      job.Title = r.Title;
      job.MissingEntries = r.Listing.Missing;
      for (const TYtEntry& e : r.Listing.Entries)
        job.Entries.push_back({e.Link, e.Title, e.DurationSec, e.Position});
      if (!r.Reason.empty()) job.Notes = "yt-dlp: " + r.Reason + "\r";
      if (job.Entries.empty()) job.Failure = r.Reason.empty() ? "The playlist is empty" : r.Reason;
      return job;
    }
    if (!r.Ok) {
      job.Failure = r.Reason;
      job.ShowFailure = true;
      if (r.Failure == TYtDlpFailure::NotInstalled) job.Advice = kYtDlpMissingText;
      job.Notes = "yt-dlp: " + r.Reason + "\r";
      return job;
    }
    // Every line can be fetched: single streams by the engine, pairs by the engine
    // and a merge, HLS playlists by the encoder (jobs/StreamJobs.h).
    TQualityList usable = std::move(r.Qualities);
    if (usable.empty()) {
      job.Failure = "yt-dlp found no stream this program can fetch";
      job.ShowFailure = true;
      return job;
    }
    job.Title = r.Title;
    job.DurationSec = r.HasDuration ? r.DurationSec : -1;
    job.PageUrl = r.WebpageUrl;
    job.Qualities = std::move(usable);
    job.DefaultQuality = YtDefaultQuality(job.Qualities, false);
    job.IsVideo = job.Qualities[static_cast<size_t>(job.DefaultQuality)].HasVideo;
    job.Ok = true;
    return job;
  }
};

}  // namespace

void SetYtDlpChoice(const TYtDlpChoice& choice) {
  std::lock_guard lock(g_choiceMutex);
  g_choice = choice;
}

TYtDlpChoice YtDlpChoice() {
  std::lock_guard lock(g_choiceMutex);
  return g_choice;
}

bool IsWebLink(const std::string& text) {
  auto blank = [](unsigned char c) { return c <= ' ' || c == 0x7f; };
  size_t from = 0, to = text.size();
  while (from < to && blank(text[from])) ++from;
  while (to > from && blank(text[to - 1])) --to;
  const std::string link = text.substr(from, to - from);
  if (std::any_of(link.begin(), link.end(), blank)) return false;  // not one link
  std::string scheme = link.substr(0, 8);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  size_t hostAt = 0;
  if (scheme.rfind("http://", 0) == 0) {
    hostAt = 7;
  } else if (scheme.rfind("https://", 0) == 0) {
    hostAt = 8;
  } else {
    return false;
  }
  const size_t hostEnd = link.find_first_of("/?#", hostAt);
  return (hostEnd == std::string::npos ? link.size() : hostEnd) > hostAt;
}

std::shared_ptr<const IResolver> MakeYtDlpResolver() {
  return std::make_shared<TYtDlpResolver>();
}

}  // namespace resolve
