#include "jobs/ExtractorJobs.h"

#include "download/clMultiDownLoader.h"
#include "log/LogWriter.h"
#include "resolve/YtDlpInfo.h"
#include "resolve/YtDlpResolver.h"
#include "settings/Settings.h"

const char* const kExtractorResolver = resolve::kYtDlpResolverName;

void PublishExtractorChoice() {
  resolve::SetYtDlpChoice({cvOptions.YtDlpProgram, cvOptions.YtDlpCookiesBrowser});
}

bool PickQualityForPreset(TEncItem& job) {
  if (job.Resolver != kExtractorResolver || !job.Settings.VCodec.empty() || job.Qualities.empty())
    return false;
  const int audio = YtDefaultQuality(job.Qualities, true);
  if (audio < 0 || audio == job.QualityIndex) return false;
  job.SetQuality(audio);
  job.StreamUrl = job.Qualities[static_cast<size_t>(audio)].Link.Url;
  job.IsVideo = job.Qualities[static_cast<size_t>(audio)].HasVideo;
  return true;
}

void ApplyStreamRequest(TclDownLoadItem& item, const TLink& link) {
  item.SetChunkLimit(link.ChunkLimit);
  if (link.Headers.empty()) return;
  auto request = std::make_shared<TclHttpRequest>();
  for (const auto& [name, value] : link.Headers) request->HeaderLines.push_back(name + ": " + value);
  item.SetHttpRequest(std::move(request));
  item.SetUseHttpRequest(true);
}
