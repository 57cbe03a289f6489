#include "jobs/Resolve.h"

#include <algorithm>

#include "log/LogWriter.h"
#include "resolve/InetEng.h"
#include "resolve/Resolution.h"
#include "resolve/youparse.h"

namespace {

const char* const kVideoExtensions[] = {"avi", "mp4",  "mov", "wmv", "flv",
                                        "mpg", "mpeg", "3gp", "3g2", "m4v"};

}  // namespace

bool ResolveJob(TEncItem* job) {
  if (!job) return false;
  bool result = false;
  job->Qualities.clear();
  std::string cutOff;
  TPageResolution page = ResolveWatchPage(InetGetText(job->Source, &cutOff));
  if (!cutOff.empty()) AppendNote(*job, cutOff, "Warning");
  // The parser writes the title straight into the job, found streams or not.
  job->Title = page.Title;
  job->Qualities = std::move(page.Qualities);
  if (page.ParseError) {
    job->Notes += "parse youtube error\r";
  } else {
    try {
      if (page.QualityIndex >= 0) job->SetQuality(page.QualityIndex);
      if (!page.Warning.empty()) {
        AppendNote(*job, page.Warning, "Warning");
      } else {
        job->StreamUrl = page.StreamUrl;
        if (page.HasDuration) job->DurationSec = page.DurationSec;
        result = true;
      }
    } catch (const std::exception& e) {
      AppendNote(*job, e, "Warning");
    }
  }
  if (job->Title.empty()) job->Title = job->Source;
  if (!job->Notes.empty()) LogText(job->Notes);
  return result;
}

std::string LinkVideoId(const std::string& link) {
  const std::string prefix = std::string(SiteRoot) + "watch?v=";
  const size_t at = link.find(prefix);
  const size_t start =
      std::min(link.size(), at == std::string::npos ? prefix.size() - 1 : at + prefix.size());
  const size_t end = link.find('&', start);
  return link.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string VideoInfoUrl(const std::string& videoId) {
  return std::string(SiteRoot) + "get_video_info?video_id=" + videoId;
}

bool IsVideoFile(const std::string& path) {
  const size_t at = path.find_last_of("./");
  if (at == std::string::npos || path[at] != '.') return false;
  const std::string ext = path.substr(at + 1);
  for (const char* video : kVideoExtensions)
    if (ext == video) return true;
  return false;
}
