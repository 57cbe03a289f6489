#include "jobs/StreamJobs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "convert/StreamCopy.h"
#include "download/clMultiDownLoader.h"
#include "jobs/Conversion.h"
#include "jobs/ExtractorJobs.h"
#include "jobs/JobRunner.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/Files.h"
#include "resolve/InetEng.h"
#include "resolve/YtDlpRun.h"
#include "settings/OutputName.h"
#include "settings/Settings.h"

namespace {

// The parts' names carry the pair's format ids: parts of another quality of the
// same job (one picked after a stop) are never taken for this one's.
std::string Tag(const TQuality& q) {
  std::string tag = q.Link.FormatId + "+" + q.Audio.FormatId;
  if (tag == "+") tag = "pair";
  for (char& c : tag)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '_') c = '_';
  return tag.substr(0, 40);
}
std::string VideoSuffix(const TQuality& q) { return "." + Tag(q) + ".video"; }
std::string AudioSuffix(const TQuality& q) { return "." + Tag(q) + ".audio"; }

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsPair(const TQuality& q) { return !q.Audio.Url.empty(); }

const TQuality* QualityOf(const TEncItem& job) {
  if (job.QualityIndex < 0 || static_cast<size_t>(job.QualityIndex) >= job.Qualities.size())
    return nullptr;
  return &job.Qualities[static_cast<size_t>(job.QualityIndex)];
}

// The pair's media file F from the name of the part under way.
std::string BaseOf(const std::string& mediaFile, const TQuality& q) {
  for (const std::string& part : {VideoSuffix(q), AudioSuffix(q)})
    if (EndsWith(mediaFile, part)) return mediaFile.substr(0, mediaFile.size() - part.size());
  return mediaFile;
}

// A new, empty part; one left by an earlier try of this job is replaced.
void CreatePart(const std::string& path) {
  platform::DeleteFile(path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw std::runtime_error("Cannot create file \"" + path + "\". " + std::strerror(errno));
  ::close(fd);
}

// An output the encoder may still be writing to (a kill is not waited for): the
// name goes, and for a merge an empty file keeps the name reserved.
void DropOutput(const std::string& path, bool keepReserved) {
  if (path.empty()) return;
  platform::DeleteFile(path);
  if (keepReserved) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
}

std::string Reserve(const std::string& path) {
  try {
    return ReserveOutputFile(path);
  } catch (const std::system_error& e) {
    throw std::runtime_error("Cannot create file \"" + path + "\". " + e.code().message());
  }
}

}  // namespace

struct TStreamJobs::TRun {
  bool merge = false;
  uint64_t order = 0;  // of its preparation: waiting fetches begin in this order
  std::string output;
  std::string video, audio;  // a merge's parts
  std::unique_ptr<TStreamCopy> copy;  // null until it begins
};

TStreamJobs::TStreamJobs(std::shared_ptr<platform::CallQueue> owner, TclMultiDownLoader& manager,
                         std::function<TEncItem*(const TclDownLoadItem*)> jobOf,
                         std::function<void(TEncItem&)> mediaReady)
    : owner_(std::move(owner)),
      manager_(manager),
      jobOf_(std::move(jobOf)),
      mediaReady_(std::move(mediaReady)) {}

TStreamJobs::~TStreamJobs() {
  for (auto& [ref, run] : runs_) {
    if (run->copy) run->copy->Stop();
    // A half-fetched playlist cannot be continued; a merge is simply redone.
    if (run->copy) DropOutput(run->output, run->merge);
  }
}

bool TStreamJobs::Handles(const TQuality& quality) { return IsPair(quality) || quality.Link.Hls; }

const TLink& TStreamJobs::CurrentStream(const TEncItem& job) {
  static const TLink none;
  const TQuality* q = QualityOf(job);
  if (!q) return none;
  return IsPair(*q) && EndsWith(job.MediaFile, AudioSuffix(*q)) ? q->Audio : q->Link;
}

std::string TStreamJobs::Unfinished(const TEncItem& job) {
  const TQuality* q = QualityOf(job);
  if (!q || !IsPair(*q) || !EndsWith(job.MediaFile, VideoSuffix(*q))) return {};
  return "The video came, but the download of its audio could not begin";
}

TclDownLoadItem* TStreamJobs::Prepare(TEncItem& job, bool* reserved) {
  Reap();
  *reserved = false;
  const TQuality* q = QualityOf(job);
  if (!q) throw std::out_of_range("No quality is chosen for \"" + job.Title + "\"");
  const std::string fresh =
      platform::IncludeTrailingSlash(OutputFolder) + MakeOutputName(OutName, job.Title, q->Link.Ext);
  if (q->Link.Hls) {
    job.Resume.Clear();
    job.Progress = 0;
    job.MediaFile = Reserve(fresh);
    *reserved = true;
    auto run = std::make_unique<TRun>();
    run->output = job.MediaFile;
    run->order = ++prepared_;
    runs_[job.Ref()] = std::move(run);
    return nullptr;
  }
  // Where an earlier run of this pair stopped: the part under way, or the merge.
  const std::string base = BaseOf(job.MediaFile, *q);
  const std::string videoPart = base + VideoSuffix(*q), audioPart = base + AudioSuffix(*q);
  const bool ours = job.IsLink && !job.MediaFile.empty() && EndsWith(base, q->Link.Ext) &&
                    platform::FileExists(base);
  const bool videoWhole =
      ours && platform::FileExists(videoPart) && job.MediaFile != videoPart;
  TLink link = q->Link;
  bool resume = false;
  if (ours && videoWhole && job.MediaFile == base && platform::FileExists(audioPart)) {
    auto run = std::make_unique<TRun>();
    run->merge = true;
    run->output = base;
    run->video = videoPart;
    run->audio = audioPart;
    runs_[job.Ref()] = std::move(run);
    return nullptr;
  }
  if (ours && (job.MediaFile == videoPart || (videoWhole && job.MediaFile == audioPart))) {
    if (job.MediaFile == audioPart) link = q->Audio;
    resume = !job.Resume.Empty() && platform::FileExists(job.MediaFile);
    if (!resume) {
      job.Resume.Clear();
      CreatePart(job.MediaFile);
      if (job.MediaFile == videoPart) job.Progress = 0;
    }
  } else {
    const std::string file = Reserve(fresh);
    try {
      CreatePart(file + VideoSuffix(*q));
    } catch (...) {
      platform::DeleteFile(file);
      throw;
    }
    *reserved = true;
    job.Resume.Clear();
    job.Progress = 0;
    job.MediaFile = file + VideoSuffix(*q);
  }
  TclDownLoadItem* item = manager_.DownLoadList()->Add();
  item->SetURL(link.Url);
  item->SetLocalFile(job.MediaFile);
  ApplyStreamRequest(*item, link);
  if (resume) item->SetContinueFrom(job.Resume);
  return item;
}

void TStreamJobs::Forget(TEncItem& job, bool reserved) {
  auto it = runs_.find(job.Ref());
  if (it != runs_.end() && !it->second->copy) runs_.erase(it);
  if (!reserved) return;
  const TQuality* q = QualityOf(job);
  if (!q) return;
  const std::string base = BaseOf(job.MediaFile, *q);
  for (const std::string& f : {base + VideoSuffix(*q), base + AudioSuffix(*q), base})
    if (platform::FileExists(f) && platform::FileSize(f) == 0) platform::DeleteFile(f);
}

void TStreamJobs::StartPending() {
  // Merges at once: their pair has had its place. Playlist fetches as many at a
  // time as the engine runs downloads, in the table's order of their start.
  int fetching = 0;
  std::vector<uint64_t> merges, fetches;
  for (const auto& [ref, run] : runs_) {
    if (run->copy) fetching += !run->merge;
    else (run->merge ? merges : fetches).push_back(ref);
  }
  for (uint64_t ref : merges) Begin(ref);
  const int most = std::max(1, manager_.MaxStartedItems());
  std::sort(fetches.begin(), fetches.end(), [this](uint64_t a, uint64_t b) {
    return runs_[a]->order < runs_[b]->order;
  });
  for (uint64_t ref : fetches) {
    if (fetching >= most) break;
    Begin(ref);
    ++fetching;
  }
}

TclDownLoadItem* TStreamJobs::FollowUp(TclDownLoadItem* ended) {
  TEncItem* job = jobOf_ ? jobOf_(ended) : nullptr;
  if (!job || job->StopRequested) return nullptr;
  const TQuality* q = QualityOf(*job);
  if (!q || !IsPair(*q) || !EndsWith(job->MediaFile, VideoSuffix(*q))) return nullptr;
  if (!DownloadFailure(*ended).empty()) return nullptr;  // ends as a failed download
  const std::string audio = BaseOf(job->MediaFile, *q) + AudioSuffix(*q);
  try {
    CreatePart(audio);
  } catch (const std::exception& e) {
    AppendNote(*job, e, "Error");
    LogError(e);
    return nullptr;
  }
  job->Resume.Clear();
  job->MediaFile = audio;
  TclDownLoadItem* item = manager_.DownLoadList()->Add();
  item->SetURL(q->Audio.Url);
  item->SetLocalFile(audio);
  ApplyStreamRequest(*item, q->Audio);
  job->DownloadItem = item;
  JobChanged(*job);
  return item;
}

bool TStreamJobs::AudioCame(TEncItem& job) {
  const TQuality* q = QualityOf(job);
  if (!q || !IsPair(*q) || !EndsWith(job.MediaFile, AudioSuffix(*q))) return false;
  job.Resume.Clear();
  job.MediaFile = BaseOf(job.MediaFile, *q);
  auto run = std::make_unique<TRun>();
  run->merge = true;
  run->output = job.MediaFile;
  run->video = job.MediaFile + VideoSuffix(*q);
  run->audio = job.MediaFile + AudioSuffix(*q);
  runs_[job.Ref()] = std::move(run);
  JobChanged(job);
  Begin(job.Ref());
  return true;
}

double TStreamJobs::Progress(const TEncItem& job, int64_t bytes, int64_t size) const {
  if (size <= 0) return 0;
  const TQuality* q = QualityOf(job);
  if (!q || !IsPair(*q)) return static_cast<double>(bytes) / static_cast<double>(size) * 100;
  double done = static_cast<double>(bytes), total = static_cast<double>(size);
  if (EndsWith(job.MediaFile, AudioSuffix(*q))) {
    const double video =
        static_cast<double>(platform::FileSize(BaseOf(job.MediaFile, *q) + VideoSuffix(*q)));
    done += video;
    total += video;
  } else {
    // The audio's size is known once its download asks; until then the size
    // the extractor gave, else an eighth of the video (about what sites send
    // beside HD video).
    total += q->Audio.Size > 0 ? static_cast<double>(q->Audio.Size) : total / 8;
  }
  // A guess that was too small must not make the bar go back.
  return std::max(job.Progress, std::min(100.0, done / total * 100));
}

void TStreamJobs::Begin(uint64_t ref) {
  auto it = runs_.find(ref);
  TEncItem* job = TEncItem::FromRef(ref);
  if (it == runs_.end()) return;
  TRun& run = *it->second;
  const TQuality* q = job ? QualityOf(*job) : nullptr;
  if (!q) {
    runs_.erase(it);
    return;
  }
  std::vector<std::string> argv, env;
  if (run.merge) {
    argv = TStreamCopy::MergeArguments(run.video, run.audio, run.output);
  } else {
    argv = TStreamCopy::FetchArguments(q->Link.Url, q->Link.Headers, run.output);
    // ffmpeg takes its proxy, credentials inside the address, from the environment.
    TYtDlpOptions proxy;
    proxy.Proxy = resolve::CurrentFetchProxy();
    env = YtDlpEnvironment(proxy);
  }
  run.copy = std::make_unique<TStreamCopy>(std::move(argv), std::move(env), owner_);
  const bool merge = run.merge;
  run.copy->OnProgress = [this, ref, merge](double position, double duration) {
    TEncItem* j = TEncItem::FromRef(ref);
    auto r = runs_.find(ref);
    if (r == runs_.end()) return;
    if (!j) {  // the job was removed: its fetch is not wanted any more
      r->second->copy->Stop();
      DropOutput(r->second->output, false);
      done_[ref] = std::move(r->second);
      runs_.erase(r);
      StartPending();
      return;
    }
    if (merge) return;  // the download's bytes are all there; the merge is quick
    const double length = j->DurationSec > 0 ? j->DurationSec : duration;
    if (length <= 0) return;
    j->Progress = std::min(100.0, position / length * 100);
    const int row = JobRow(*j);
    if (row >= 0) j->Grid->SetProgress(row, j->Progress);
  };
  run.copy->OnDone = [this, ref](const TStreamCopy::TResult& result) {
    Ended(ref, result.Ok, result.Reason);
  };
  run.copy->Start();
}

void TStreamJobs::Ended(uint64_t ref, bool ok, std::string reason) {
  auto it = runs_.find(ref);
  if (it == runs_.end()) return;
  std::unique_ptr<TRun> run = std::move(it->second);
  runs_.erase(it);
  const bool merge = run->merge;
  const std::string output = run->output, video = run->video, audio = run->audio;
  done_[ref] = std::move(run);  // its worker is still in this report
  StartPending();  // a waiting fetch takes the place
  TEncItem* job = TEncItem::FromRef(ref);
  if (ok && platform::FileSize(output) <= 0) {
    ok = false;
    reason = "the encoder ended without writing " + output;
  }
  if (!job) {
    if (!merge) DropOutput(output, false);
    return;
  }
  if (ok) {
    if (merge) {
      platform::DeleteFile(video);
      platform::DeleteFile(audio);
    }
    job->Progress = 100;
    const int row = JobRow(*job);
    if (row >= 0) job->Grid->SetProgress(row, 100);
    mediaReady_(*job);
    return;
  }
  DropOutput(output, merge);
  const std::string text = (merge ? "Merging the video and audio failed: "
                                  : "Fetching the HLS stream failed: ") +
                           reason;
  SetJobState(*job, jsDownloadFailed);
  AppendNote(*job, text, "Error");
  LogText("Error: " + text);
}

bool TStreamJobs::Stop(TEncItem& job) {
  Reap();
  auto it = runs_.find(job.Ref());
  if (it == runs_.end()) return false;
  TRun& run = *it->second;
  if (run.copy) run.copy->Stop();
  // The pair's parts stay for the next Start, which merges them; a playlist
  // fetch starts again from the beginning.
  DropOutput(run.output, run.merge);
  done_[job.Ref()] = std::move(it->second);
  runs_.erase(it);
  StartPending();
  return true;
}

bool TStreamJobs::Busy() const { return !runs_.empty(); }

TJobRunner::TStreamStage TStreamJobs::Stage(const TEncItem& job) const {
  using S = TJobRunner::TStreamStage;
  auto it = runs_.find(job.Ref());
  if (it == runs_.end()) return S::None;
  if (!it->second->copy) return S::Waiting;
  return it->second->merge ? S::Merging : S::Fetching;
}

void TStreamJobs::Reap() {
  for (auto it = done_.begin(); it != done_.end();) {
    if (!it->second->copy || !it->second->copy->Running())
      it = done_.erase(it);
    else
      ++it;
  }
}
