#include "jobs/Resolve.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>

#include "convert/ConvertThread.h"
#include "jobs/Conversion.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/Text.h"
#include "resolve/InetEng.h"
#include "resolve/Resolution.h"
#include "resolve/youparse.h"

namespace {

const char* const kVideoExtensions[] = {"avi", "mp4",  "mov", "wmv", "flv",
                                        "mpg", "mpeg", "3gp", "3g2", "m4v"};

// What a direct link may end in: the file picker's audio and video types and a
// few more that the encoder reads as well.
const char* const kMediaExtensions[] = {"mp3", "ogg", "wav",  "wma", "m4a",  "ac3",  "avi",
                                        "mp4", "mov", "wmv",  "flv", "mpg",  "mpeg", "3gp",
                                        "3g2", "m4v", "webm", "mkv", "opus", "flac", "aac"};

// Path of a direct link (from the first "/" after the host up to "?" or "#"), or
// empty when the text is no http(s) address with a host.
std::string DirectLinkPath(const std::string& text) {
  const std::string link = platform::TrimBlanks(text);
  for (char c : link)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return {};
  const std::string lower = platform::AsciiLower(link);
  size_t at = 0;
  if (lower.rfind("http://", 0) == 0)
    at = 7;
  else if (lower.rfind("https://", 0) == 0)
    at = 8;
  else
    return {};
  const size_t pathAt = link.find_first_of("/?#", at);
  std::string authority = link.substr(at, pathAt == std::string::npos ? pathAt : pathAt - at);
  authority =
      authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  if (authority.empty() || authority[0] == ':') return {};
  if (pathAt == std::string::npos || link[pathAt] != '/') return {};
  return link.substr(pathAt, link.find_first_of("?#", pathAt) - pathAt);
}

// The path's extension without its dot when it is a media one, else empty.
std::string MediaExtension(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  const std::string ext = name.substr(dot + 1);
  for (const char* media : kMediaExtensions)
    if (platform::AsciiLower(ext) == media) return ext;
  return {};
}

// %XX escapes to bytes; "+" stays (it is a plus in a path). The bytes are the
// name's UTF-8, as every text of a job is.
std::string PercentDecodePath(const std::string& text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

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

bool IsSiteLink(const std::string& text) {
  return text.find(SiteRoot) != std::string::npos;
}

bool IsDirectMediaLink(const std::string& text) {
  return !IsSiteLink(text) && !MediaExtension(DirectLinkPath(text)).empty();
}

bool MakeDirectLinkJob(TEncItem* job) {
  if (!job || !IsDirectMediaLink(job->Source)) return false;
  const std::string path = DirectLinkPath(job->Source);
  const std::string ext = MediaExtension(path);
  const std::string name = path.substr(path.rfind('/') + 1);
  job->Title = PercentDecodePath(name.substr(0, name.size() - ext.size() - 1));
  if (job->Title.empty()) job->Title = name;
  job->DurationSec = 0;
  job->StreamUrl = platform::TrimBlanks(job->Source);
  job->Qualities = {{platform::AsciiUpper(ext), {job->StreamUrl, "." + ext}}};
  job->IsVideo = false;
  for (const char* video : kVideoExtensions)
    job->IsVideo = job->IsVideo || platform::AsciiLower(ext) == video;
  job->SetQuality(0);
  return true;
}

std::vector<std::string> LinkListLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (platform::TrimBlanks(line).empty()) continue;
    if (!IsSiteLink(line) && !IsDirectMediaLink(line)) return {};
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

void ShowRunningTimeOf(TConversionThreads& threads, TEncItem& job) {
  VANTOREL_ASSERT_OWNER(threads.Owner());
  const uint64_t ref = job.Ref();
  std::shared_ptr<platform::CallQueue> queue = threads.Owner();
  threads.Launch([ref, file = job.MediaFile, queue] {
    const int32_t seconds = ReadRunningTime(file);
    if (seconds <= 0) return;
    try {
      queue->Call([ref, seconds] {
        // The job may have been removed meanwhile.
        TEncItem* job = TEncItem::FromRef(ref);
        if (!job) return;
        job->DurationSec = seconds;
        const int row = job->Grid ? JobRow(*job) : -1;
        if (row >= 0) job->Grid->SetCellText(colTime, row, SecondsToHMS(seconds));
      });
    } catch (const std::exception&) {
      // The owner's thread is gone: nobody is left to show it.
    }
  });
}

TRefreshedAddress FetchRefreshedAddress(const std::string& source, const std::string& quality,
                                        const TFetchProxy& proxy, const std::atomic<bool>* cancel) {
  TRefreshedAddress r;
  std::string cutOff;
  const std::string text = InetGetText(source, proxy, &cutOff, cancel);
  if (text.empty()) {
    r.Error = "The watch page at " + AddressHost(source) +
              " could not be fetched for a new address" +
              (cutOff.empty() ? std::string() : " (" + cutOff + ")");
    return r;
  }
  TPageResolution page = ResolveWatchPage(text);
  for (size_t i = 0; i < page.Qualities.size(); ++i) {
    if (page.Qualities[i].Name != quality || page.Qualities[i].Link.Url.empty()) continue;
    r.Ok = true;
    r.QualityIndex = static_cast<int>(i);
    r.StreamUrl = page.Qualities[i].Link.Url;
    break;
  }
  if (!r.Ok) r.Error = "The watch page no longer offers the quality \"" + quality + "\"";
  r.Qualities = std::move(page.Qualities);
  return r;
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
