#include "jobs/ExtractorJobs.h"

#include "download/clMultiDownLoader.h"
#include "log/LogWriter.h"
#include "resolve/YtDlpResolver.h"
#include "settings/Settings.h"

const char* const kExtractorResolver = "yt-dlp";

void PublishExtractorChoice() {
  resolve::SetYtDlpChoice({cvOptions.YtDlpProgram, cvOptions.YtDlpCookiesBrowser});
}

TYtDlpOptions ExtractorOptions() {
  TYtDlpOptions o;
  o.Program = cvOptions.YtDlpProgram;
  o.CookiesBrowser = cvOptions.YtDlpCookiesBrowser;
  o.Proxy = resolve::CurrentFetchProxy();
  return o;
}

TQualityList EngineQualities(const TQualityList& qualities) { return qualities; }

bool ResolveJobWithExtractor(TEncItem* job, bool audioPreset, const TYtDlpOptions& options,
                             std::string* reason, const std::atomic<bool>* cancel) {
  if (!job) return false;
  TYtResolution r = ResolveWithYtDlp(job->Source, options, audioPreset, cancel);
  TQualityList usable = r.Ok ? EngineQualities(r.Qualities) : TQualityList{};
  if (usable.empty()) {
    AppendNote(*job, r.Reason, "yt-dlp");
    LogText(job->Notes);
    if (reason) *reason = r.Reason;
    if (job->Title.empty()) job->Title = job->Source;
    return false;
  }
  job->Title = r.Title.empty() ? job->Source : r.Title;
  job->Qualities = std::move(usable);
  job->Resolver = kExtractorResolver;
  job->WebpageUrl = r.WebpageUrl;
  if (r.HasDuration) job->DurationSec = r.DurationSec;
  const int index = YtDefaultQuality(job->Qualities, audioPreset);
  try {
    job->SetQuality(index);
  } catch (const std::exception& e) {
    AppendNote(*job, e, "Warning");
    return false;
  }
  job->StreamUrl = job->Qualities[static_cast<size_t>(index)].Link.Url;
  return true;
}

TRefreshedAddress FetchExtractorRefresh(const std::string& webpageUrl,
                                        const TQualityList& qualities, int qualityIndex,
                                        const TYtDlpOptions& options,
                                        const std::atomic<bool>* cancel) {
  TRefreshedAddress r;
  if (qualityIndex < 0 || static_cast<size_t>(qualityIndex) >= qualities.size()) {
    r.Error = "No quality is chosen";
    return r;
  }
  const TYtRefresh fresh =
      RefreshYtQuality(webpageUrl, qualities[static_cast<size_t>(qualityIndex)], options, cancel);
  if (!fresh.Ok) {
    r.Error = "yt-dlp gave no new address: " + fresh.Reason;
    return r;
  }
  r.Ok = true;
  r.Qualities = qualities;
  r.Qualities[static_cast<size_t>(qualityIndex)] = fresh.Quality;
  r.QualityIndex = qualityIndex;
  r.StreamUrl = fresh.Quality.Link.Url;
  return r;
}

void ApplyStreamRequest(TclDownLoadItem& item, const TLink& link) {
  item.SetChunkLimit(link.ChunkLimit);
  if (link.Headers.empty()) return;
  auto request = std::make_shared<TclHttpRequest>();
  for (const auto& [name, value] : link.Headers) request->HeaderLines.push_back(name + ": " + value);
  item.SetHttpRequest(std::move(request));
  item.SetUseHttpRequest(true);
}
