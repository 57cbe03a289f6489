#include "jobs/Resolve.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>

#include "convert/ConvertThread.h"
#include "jobs/Conversion.h"
#include "jobs/ResolveService.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/Text.h"
#include "resolve/InetEng.h"
#include "resolve/Resolution.h"
#include "resolve/youparse.h"

bool ApplyResolution(TEncItem& job, const resolve::TResolvedJob& answer) {
  bool result = false;
  job.Notes += answer.Notes;
  job.Title = answer.Title;
  job.Qualities = answer.Qualities;
  // What a refresh or a restart needs to read the link again the same way.
  job.Resolver = answer.Ok ? answer.Resolver : std::string();
  job.WebpageUrl = job.Resolver.empty() ? std::string() : answer.PageUrl;
  if (answer.Ok) {
    try {
      job.SetQuality(answer.DefaultQuality);
      job.StreamUrl = job.Qualities[static_cast<size_t>(answer.DefaultQuality)].Link.Url;
      if (answer.DurationSec >= 0) job.DurationSec = answer.DurationSec;
      job.IsVideo = answer.IsVideo;
      result = true;
    } catch (const std::exception& e) {
      AppendNote(job, e, "Warning");
    }
  }
  if (job.Title.empty()) job.Title = job.Source;
  if (!job.Notes.empty()) LogText(job.Notes);
  return result;
}

bool ResolveJob(TEncItem* job) {
  if (!job) return false;
  resolve::TResolveRequest request =
      resolve::MakeRequest(job->Source, resolve::CurrentFetchProxy(), 0, nullptr);
  // The page alone: the information request belongs to the intake.
  request.Refresh = true;
  return ApplyResolution(*job, resolve::MakeWatchPageResolver()->Resolve(request));
}

bool MakeDirectLinkJob(TEncItem* job) {
  if (!job || !IsDirectMediaLink(job->Source)) return false;
  const resolve::TResolvedJob answer = resolve::MakeDirectLinkResolver()->Resolve(
      resolve::MakeRequest(job->Source, TFetchProxy{}, 0, nullptr));
  job->DurationSec = 0;
  return ApplyResolution(*job, answer);
}

std::vector<std::string> LinkListLines(const std::string& text) {
  return LinkListLines(text, [](const std::string& line) {
    return IsSiteLink(line) || IsDirectMediaLink(line);
  });
}

std::vector<std::string> LinkListLines(const std::string& text,
                                       const std::function<bool(const std::string&)>& isLink) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (platform::TrimBlanks(line).empty()) continue;
    if (!isLink(line)) return {};
    lines.push_back(line);
  }
  if (lines.size() < 2) lines.clear();
  return lines;
}

int32_t ReadRunningTime(const std::string& file) {
  try {
    // Fixed audio values keep the constructor from probing; the explicit build
    // with open values runs the information pass, which leaves the seconds first
    // in ResultText.
    TCnvtSettings fixed;
    fixed.Frequency = 44100;
    fixed.ABitrate = 128;
    fixed.Channels = 2;
    TConvertThread worker(file, false, fixed, "", platform::CallQueue::Current());
    worker.BuildAudioCommandLine(file, "", TCnvtSettings{});
    const std::string& text = worker.ResultText;
    int64_t seconds = 0;
    for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && seconds < INT32_MAX;
         ++i)
      seconds = seconds * 10 + (text[i] - '0');
    return static_cast<int32_t>(std::min<int64_t>(seconds, INT32_MAX));
  } catch (const std::exception&) {
    return 0;
  }
}

void ShowRunningTimeOf(TResolveService& service, TEncItem& job) {
  const uint64_t ref = job.Ref();
  service.Run([ref, file = job.MediaFile](const std::atomic<bool>&) -> std::function<void()> {
    const int32_t seconds = ReadRunningTime(file);
    if (seconds <= 0) return {};
    return [ref, seconds] {
      // The job may have been removed meanwhile.
      TEncItem* job = TEncItem::FromRef(ref);
      if (!job) return;
      job->DurationSec = seconds;
      const int row = job->Grid ? JobRow(*job) : -1;
      if (row >= 0) job->Grid->SetCellText(colTime, row, SecondsToHMS(seconds));
    };
  });
}

TRefreshedAddress RefreshedAddressIn(const resolve::TResolvedJob& answer, const TQuality& old) {
  TRefreshedAddress r;
  // A stream known by its format id is found by it (the extractor's names are
  // made from bit rates and may change); the site's streams by their name.
  const bool byId = !old.Link.FormatId.empty();
  if (answer.Qualities.empty()) {
    r.Error = (byId ? std::string("yt-dlp gave no new address for ") + AddressHost(answer.Source)
                    : "The watch page at " + AddressHost(answer.Source) +
                          " could not be fetched for a new address") +
              (answer.Failure.empty() ? std::string() : " (" + answer.Failure + ")");
    return r;
  }
  r.Qualities = answer.Qualities;
  for (size_t i = 0; i < r.Qualities.size(); ++i) {
    TQuality& q = r.Qualities[i];
    const bool same = byId ? q.Link.FormatId == old.Link.FormatId &&
                                 q.Audio.FormatId == old.Audio.FormatId
                           : q.Name == old.Name;
    if (!same || q.Link.Url.empty()) continue;
    q.Name = old.Name;
    r.Ok = true;
    r.QualityIndex = static_cast<int>(i);
    r.StreamUrl = q.Link.Url;
    break;
  }
  if (!r.Ok)
    r.Error = byId ? "The page no longer offers the format " + old.Link.FormatId +
                         (old.Audio.FormatId.empty() ? std::string() : "+" + old.Audio.FormatId)
                   : "The watch page no longer offers the quality \"" + old.Name + "\"";
  return r;
}

TRefreshedAddress FetchRefreshedAddress(const std::string& source, const std::string& quality,
                                        const TFetchProxy& proxy, const std::atomic<bool>* cancel) {
  resolve::TResolveRequest request = resolve::MakeRequest(source, proxy, 0, cancel);
  request.Refresh = true;
  TQuality old;
  old.Name = quality;
  return RefreshedAddressIn(resolve::DefaultResolvers().Resolve(request), old);
}

std::string AddressHost(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[')
    return authority.substr(0, authority.find(']') + 1);
  return authority.substr(0, authority.find(':'));
}
