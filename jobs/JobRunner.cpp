#include "jobs/JobRunner.h"

#include <stdexcept>
#include <system_error>

#include "download/clHttpUtils.h"
#include "download/clMultiDownLoader.h"
#include "download/clNetBase.h"
#include "jobs/Conversion.h"
#include "jobs/ExtractorJobs.h"
#include "jobs/Resolve.h"
#include "jobs/ResolveService.h"
#include "jobs/StreamJobs.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/ThreadSet.h"
#include "resolve/InetEng.h"
#include "settings/OutputName.h"
#include "settings/Settings.h"

namespace {

// Jobs lose their reference to an item that will never run or report.
void ForgetDownloadItems(const std::vector<TEncItem*>& jobs) {
  for (TEncItem* job : jobs)
    if (job) job->DownloadItem = nullptr;
}

// A downloaded file whose running time no reader gave: a direct link's, or an
// extractor's page that named none.
bool NeedsRunningTimeRead(const TEncItem& job) {
  return IsDirectMediaLink(job.Source) || (job.Resolver == kExtractorResolver && job.DurationSec <= 0);
}

// A finished job is not run again by the next Start.
void ShowSkip(TEncItem& job) {
  job.Mode = jmSkip;
  const int row = JobRow(job);
  if (row >= 0) job.Grid->SetCellText(colMode, row, ModeCaption(jmSkip));
}

// Reserved like a conversion's output: two jobs of one name never share a
// file, nor does a download share one with a conversion. The log keeps the
// wording downloads have always used.
std::string ReserveDownloadFile(const std::string& path) {
  try {
    return ReserveOutputFile(path);
  } catch (const std::system_error& e) {
    throw std::runtime_error("Cannot create file \"" + path + "\". " + e.code().message());
  }
}

// Resume's segments as the item has them now, with the file they are in (a
// start from zero makes a new one). Called on every data report, so it only
// overwrites.
void CopySegments(TDownloadResume& resume, TclDownLoadItem& item) {
  const TclResourceStateList& state = *item.ResourceState();
  resume.File = item.WorkFile() == item.LocalFile() ? std::string() : item.WorkFile();
  resume.FileId = item.WorkFileId();
  resume.Segments.resize(static_cast<size_t>(state.Count()));
  for (int i = 0; i < state.Count(); ++i) {
    const TclResourceStateItem* s = state.Items(i);
    resume.Segments[static_cast<size_t>(i)] = {s->ResourcePos(), s->ResourceSize(),
                                               s->BytesProceed()};
  }
}

}  // namespace

std::string DownloadFailure(TclDownLoadItem& item) {
  // The manager reports every end alike, so the item itself is asked.
  const std::string lastError = item.Errors().empty() ? std::string() : item.Errors().back().Error;
  const TclProcessStatus status = item.Status();
  // A refused resource ends terminated without any stop from us.
  if (status == psFailed || status == psTerminated)
    return lastError.empty() ? "The download did not complete" : lastError;
  const int64_t size = item.ResourceState()->ResourceSize();
  const TclResourceInfo* info = item.ResourceInfo();
  // A link that leads to a web page (a login, an error) must not be converted.
  if (info && platform::AsciiLower(info->ContentType).rfind("text/html", 0) == 0)
    return "The server sent a web page (text/html) instead of a media file";
  // A compressed resource is unpacked into the file, so its size differs.
  if (size > 0 && !(info && info->Compressed) && !item.LocalFile().empty()) {
    const int64_t written = platform::FileSize(item.LocalFile());
    if (written != size)
      return lastError.empty() ? "The downloaded file holds " + std::to_string(written) + " of " +
                                     std::to_string(size) + " bytes"
                               : lastError;
  }
  return {};
}

TJobRunner::TJobRunner(std::function<TJobList*()> jobs, std::shared_ptr<platform::CallQueue> owner)
    : jobs_(std::move(jobs)),
      owner_(std::move(owner)),
      conversions_(std::make_unique<TConversionThreads>(owner_)),
      downLoader_(std::make_unique<TclMultiDownLoader>(owner_)),
      resolver_(std::make_unique<TResolveService>(owner_)) {
  downLoader_->SetTryCount(25);
  downLoader_->SetTimeOut(999999);
  downLoader_->SetMaxStartedItems(3);
  downLoader_->InternetAgent = net::kDownloadUserAgent;
  downLoader_->ReportBlockData = false;  // progress only: the bytes are in the file
  downLoader_->OnAddressExpired = [this](TclMultiDownLoader*, TclDownLoadItem* item) {
    RefreshDownloadAddress(item);
  };
  downLoader_->OnDataItemProceed = [this](TclMultiDownLoader*, TclDownLoadItem* item,
                                          TclResourceInfo*, TclResourceStateItem* state,
                                          const char*, int) { DownloadProgress(item, state); };
  downLoader_->OnProcessCompleted = [this](TclMultiDownLoader*, TclDownLoadItem* item) {
    DownloadCompleted(item);
  };
  downLoader_->OnDataPhaseBegin = [this](TclMultiDownLoader*, TclDownLoadItem* item) {
    DownloadDataPhaseBegan(item);
  };
  streams_ = std::make_unique<TStreamJobs>(
      owner_, *downLoader_,
      [this](const TclDownLoadItem* item) {
        const int index = DownloadJobIndex(item);
        return index < 0 ? nullptr : (*jobs_())[index];
      },
      [this](TEncItem& job) { MediaFileReady(job); });
  downLoader_->OnFollowUp = [this](TclMultiDownLoader*, TclDownLoadItem* item) {
    return streams_ ? streams_->FollowUp(item) : nullptr;  // null once the runner ends
  };
}

TJobRunner::~TJobRunner() {
  VANTOREL_ASSERT_OWNER(owner_);
  // Before anything below runs the owner's queue: an answer must not reach
  // items that are going; and a page fetch still running ends at once instead
  // of at its own limit, so closing the window does not wait for it.
  resolver_.reset();
  // Merges and fetches end (their encoders killed) before the manager goes.
  streams_.reset();
}

TJobRunner::TStreamStage TJobRunner::StreamStage(const TEncItem& job) const {
  return streams_ ? streams_->Stage(job) : TStreamStage::None;
}

bool TJobRunner::DownloadsBusy() const {
  VANTOREL_ASSERT_OWNER(owner_);
  return downLoader_->IsBusy() || streams_->Busy();
}

void TJobRunner::StopDownload(TclDownLoadItem* item) {
  VANTOREL_ASSERT_OWNER(owner_);
  downLoader_->Stop(item);
}

void TJobRunner::StartRun() {
  VANTOREL_ASSERT_OWNER(owner_);
  if (downLoader_->IsBusy() || streams_->Busy()) return;
  TJobList* list = jobs_ ? jobs_() : nullptr;
  if (!list) return;
  TJobList& jobs = *list;

  // Every item is about to be freed; no job may keep pointing at one.
  std::vector<TEncItem*> everyJob;
  for (int i = 0; i < jobs.Count(); ++i) everyJob.push_back(jobs[i]);
  ForgetDownloadItems(everyJob);
  downLoader_->DownLoadList()->Clear();
  dataPhase_.clear();

  // What a prepared job was before this Start, so that a run that does not
  // start leaves it as it was (and no empty file it reserved behind).
  struct TPrepared {
    TEncItem* job;
    TJobState state;
    std::string mediaFile;
    bool reserved;
  };
  std::vector<TPrepared> prepared;
  std::vector<uint64_t> toConvert;  // taken here, on the owner thread, for the sweep
  try {
    ApplyProxyRecord(net::ProxyOf(cvOptions), downLoader_->HttpProxySettings);
    for (int i = 0; i < jobs.Count(); ++i) {
      TEncItem* job = jobs[i];
      // A job whose link is still being read is not ready: the next Start takes it.
      if (!job || job->State == jsReading) continue;
      switch (job->Mode) {
        case jmDownloadOnly:
        case jmDownloadConvert: {
          job->StopRequested = false;
          if (job->QualityIndex < 0 ||
              static_cast<size_t>(job->QualityIndex) >= job->Qualities.size())
            throw std::out_of_range("No quality is chosen for \"" + job->Title + "\"");
          TPrepared before{job, job->State, job->MediaFile, false};
          // A video+audio pair or an HLS playlist: more than one engine stream.
          if (TStreamJobs::Handles(job->Qualities[static_cast<size_t>(job->QualityIndex)])) {
            TclDownLoadItem* item = nullptr;
            try {
              item = streams_->Prepare(*job, &before.reserved);
            } catch (const std::exception& e) {
              SetJobState(*job, jsDownloadFailed);
              AppendNote(*job, e.what(), "Error");
              LogText(std::string("Error: ") + e.what());
              break;
            }
            job->LastDownloadMode = job->Mode;
            prepared.push_back(before);
            SetJobState(*job, jsDownloading);
            job->DownloadItem = item;
            break;
          }
          // An unfinished download goes on in its own file, which stays reserved
          // for it; the item checks the file and the resource before it trusts them.
          const bool resume = job->IsLink && !job->Resume.Empty() && !job->MediaFile.empty() &&
                              platform::FileExists(job->MediaFile);
          if (!resume) {
            const std::string& ext =
                job->Qualities[static_cast<size_t>(job->QualityIndex)].Link.Ext;
            const std::string name = MakeOutputName(OutName, job->Title, ext);
            std::string file;
            try {
              file = ReserveDownloadFile(platform::IncludeTrailingSlash(OutputFolder) + name);
            } catch (const std::exception& e) {
              // This job alone cannot run; the others of the run go on.
              SetJobState(*job, jsDownloadFailed);
              AppendNote(*job, e.what(), "Error");
              LogText(std::string("Error: ") + e.what());
              break;
            }
            if (!job->Resume.Empty()) {
              const std::string warning = "The partly downloaded file \"" + job->MediaFile +
                                          "\" is missing; the download starts again from the "
                                          "beginning";
              AppendNote(*job, warning, "Warning");
              LogText("Warning: " + warning);
            }
            job->Resume.Clear();
            job->MediaFile = file;
            before.reserved = true;
          }
          job->LastDownloadMode = job->Mode;
          TclDownLoadItem* item = downLoader_->DownLoadList()->Add();
          item->SetURL(job->StreamUrl);
          item->SetLocalFile(job->MediaFile);
          ApplyStreamRequest(*item, job->Qualities[static_cast<size_t>(job->QualityIndex)].Link);
          if (resume) item->SetContinueFrom(job->Resume);
          prepared.push_back(before);
          SetJobState(*job, jsDownloading);
          job->DownloadItem = item;
          break;
        }
        case jmConvertOnly:
          job->StopRequested = false;
          prepared.push_back(TPrepared{job, job->State, job->MediaFile, false});
          // A video preset needs a video to work on.
          if (!job->Settings.VCodec.empty() && !job->IsVideo) {
            SetJobState(*job, jsStopped);
          } else {
            SetJobState(*job, jsEncoding);
            toConvert.push_back(job->Ref());
          }
          break;
        default:
          break;
      }
    }
  } catch (const std::exception& e) {
    // The run does not start. Prepared jobs lose their items, which would never
    // run, and are as they were before; the next Start prepares them again.
    LogError(e);
    for (const TPrepared& p : prepared) {
      p.job->DownloadItem = nullptr;
      const bool streams = p.job->QualityIndex >= 0 &&
                           static_cast<size_t>(p.job->QualityIndex) < p.job->Qualities.size() &&
                           TStreamJobs::Handles(
                               p.job->Qualities[static_cast<size_t>(p.job->QualityIndex)]);
      if (streams) {
        streams_->Forget(*p.job, p.reserved);
        if (p.reserved) p.job->MediaFile = p.mediaFile;
      } else if (p.reserved) {
        if (platform::FileSize(p.job->MediaFile) == 0) platform::DeleteFile(p.job->MediaFile);
        p.job->MediaFile = p.mediaFile;
      }
      SetJobState(*p.job, p.state);
    }
    downLoader_->DownLoadList()->Clear();
    return;
  }
  try {
    if (OnRunStarting) OnRunStarting();
    if (downLoader_->DownLoadList()->Count() > 0) downLoader_->Start(nullptr, true);
    streams_->StartPending();
    StartConversionSweep(*conversions_, std::move(toConvert));
  } catch (const std::exception& e) {
    LogError(e);
  }
}

int TJobRunner::DownloadJobIndex(const TclDownLoadItem* item) const {
  TJobList* jobs = jobs_ ? jobs_() : nullptr;
  if (!item || !jobs) return -1;
  for (int i = 0; i < jobs->Count(); ++i) {
    const TEncItem* job = (*jobs)[i];
    if (job && job->DownloadItem == item) return i;
  }
  return -1;
}

void TJobRunner::DownloadDataPhaseBegan(TclDownLoadItem* item) {
  try {
    const int index = DownloadJobIndex(item);
    if (index < 0) return;
    TEncItem& job = *(*jobs_())[index];
    dataPhase_.insert(item);
    if (!item->ContinueRefusal().empty()) {
      const std::string warning = "Cannot continue the download of \"" + job.Title +
                                  "\": " + item->ContinueRefusal() +
                                  "; it starts again from the beginning";
      AppendNote(job, warning, "Warning");
      LogText("Warning: " + warning);
    }
    // Only a resource that can be fetched in parts can be continued later.
    const TclResourceInfo* info = item->ResourceInfo();
    job.Resume.Clear();
    if (!info || !info->CanSplit()) return;
    job.Resume.ResourceSize = info->Size;
    job.Resume.ETag = info->ETag;
    job.Resume.LastModified = info->LastModified;
    CopySegments(job.Resume, *item);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TJobRunner::DownloadProgress(TclDownLoadItem* item, TclResourceStateItem* stateItem) {
  VANTOREL_ASSERT_OWNER(owner_);
  try {
    const int index = DownloadJobIndex(item);
    if (index < 0) return;
    TEncItem* job = (*jobs_())[index];
    const TclResourceStateList* state = stateItem ? stateItem->ResourceState() : nullptr;
    if (state && !job->Resume.Empty()) CopySegments(job->Resume, *item);
    if (!state || state->ResourceSize() <= 0)
      throw std::runtime_error("The size of \"" + job->Title +
                               "\" is not known; no percentage can be shown");
    job->Progress = streams_->Progress(*job, state->BytesProceed(), state->ResourceSize());
    // Entry index is the job's row.
    if (job->Grid) job->Grid->SetProgress(index, job->Progress);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TJobRunner::DownloadCompleted(TclDownLoadItem* item) {
  VANTOREL_ASSERT_OWNER(owner_);
  int index = -1;
  try {
    index = DownloadJobIndex(item);
  } catch (const std::exception& e) {
    LogError(e);
  }
  // A removed job's download still reports; nothing is left to update.
  if (index < 0) return;
  TEncItem* job = (*jobs_())[index];
  // What is left to continue. A whole file (retries on the way are errors, not
  // gaps) needs nothing; an item that dropped its segments (the resource
  // changed under it) leaves nothing to trust; a run that never reached its
  // data phase leaves the saved table as it was.
  const TclProcessStatus status = item->Status();
  if (status == psSuccess || status == psErrors) {
    job->Resume.Clear();
  } else if (dataPhase_.count(item) && !job->Resume.Empty()) {
    if (item->ResourceState()->Count() == 0) {
      job->Resume.Clear();
    } else {
      CopySegments(job->Resume, *item);
    }
  }
  dataPhase_.erase(item);
  // The audio of a pair came whole: the merge follows, still as the download.
  if (!job->StopRequested && DownloadFailure(*item).empty()) {
    job->DownloadItem = nullptr;
    try {
      if (streams_->AudioCame(*job)) return;
    } catch (const std::exception& e) {
      LogError(e);
    }
    job->DownloadItem = item;
  }
  try {
    SetJobState(*job, jsEncoding);
    job->DeleteSource = cvOptions.DeleteVideo;
    std::string failure;
    if (job->StopRequested) {
      SetJobState(*job, jsStopped);
      ShowSkip(*job);
    } else if (!(failure = DownloadFailure(*item)).empty() ||
               !(failure = TStreamJobs::Unfinished(*job)).empty()) {
      // Neither success nor a conversion of a partial file; the mode stays so
      // that the next Start tries again.
      SetJobState(*job, jsDownloadFailed);
      AppendNote(*job, failure, "Error");
      LogText("Error: " + failure);
    } else {
      MediaFileReady(*job);
    }
  } catch (const std::exception& e) {
    LogError(e);
    AppendNote(*job, e, "Error");
  }
  job->DownloadItem = nullptr;
}

void TJobRunner::MediaFileReady(TEncItem& job) {
  SetJobState(job, jsEncoding);
  job.DeleteSource = cvOptions.DeleteVideo;
  if (resolver_ && NeedsRunningTimeRead(job)) ShowRunningTimeOf(*resolver_, job);
  if (job.Mode == jmDownloadConvert) {
    // Through a sweep: its information pass runs the encoder, which would hold
    // up this thread for as long as that takes.
    StartConversionSweep(*conversions_, {job.Ref()});
  } else {
    SetJobState(job, jsDone);
    ShowSkip(job);
  }
}

void TJobRunner::StopJob(TEncItem* job) {
  VANTOREL_ASSERT_OWNER(owner_);
  if (!job) return;
  if (job->State == jsDownloading && job->DownloadItem) {
    job->StopRequested = true;
    TclDownLoadItem* item = job->DownloadItem;
    downLoader_->Stop(item);
    SetJobState(*job, jsStopped);
    // A queued item leaves the queue and never reports; the job keeps its mode.
    if (!item->IsRunning()) job->DownloadItem = nullptr;
  } else if (job->State == jsDownloading && streams_->Stop(*job)) {
    // A merge or playlist fetch: ended at once, like a stopped download.
    job->StopRequested = true;
    SetJobState(*job, jsStopped);
    ShowSkip(*job);
  } else if (job->State == jsEncoding) {
    try {
      StopJobConversion(*job);
      SetJobState(*job, jsStopped);
    } catch (...) {
    }
  }
}

void TJobRunner::StopRows(IJobGrid& grid, bool selectedOnly) {
  VANTOREL_ASSERT_OWNER(owner_);
  try {
    for (int row = 0; row < grid.RowCount(); ++row) {
      if (selectedOnly && !grid.IsRowSelected(row)) continue;
      if (TEncItem* job = RowJob(grid, row)) StopJob(job);
    }
  } catch (const std::exception& e) {
    LogError(e);
  }
}

bool TJobRunner::AnythingRunning() const {
  VANTOREL_ASSERT_OWNER(owner_);
  TJobList* jobs = jobs_ ? jobs_() : nullptr;
  if (!jobs) return false;
  for (int i = 0; i < jobs->Count(); ++i) {
    try {
      const TEncItem* job = (*jobs)[i];
      if (job && (job->State == jsDownloading || job->State == jsEncoding)) return true;
    } catch (const std::exception&) {
      // An entry that cannot be read does not count.
    }
  }
  return false;
}

void TJobRunner::RefreshDownloadAddress(TclDownLoadItem* item) {
  VANTOREL_ASSERT_OWNER(owner_);
  try {
    const int index = DownloadJobIndex(item);
    // No index, or the runner is ending (its resolver went first).
    if (index < 0 || !resolver_) {
      item->FailAddressRefresh("The server refused the stream address");
      return;
    }
    const TEncItem& job = *(*jobs_())[index];
    const bool extractor = job.Resolver == kExtractorResolver && !job.WebpageUrl.empty();
    // Only a watch page can give a new address; a direct link is what it is.
    if ((!IsSiteLink(job.Source) && !extractor) || job.QualityIndex < 0 ||
        static_cast<size_t>(job.QualityIndex) >= job.Qualities.size()) {
      item->FailAddressRefresh("The server refused the address of \"" + job.Title +
                               "\", and there is no watch page to get a new one from");
      return;
    }
    const uint64_t ref = job.Ref();
    const int refreshes = item->AddressRefreshes();
    // Read here: the settings belong to this thread.
    const TFetchProxy proxy = resolve::CurrentFetchProxy();
    PublishExtractorChoice();
    // An extractor's job is read again from its page, by the extractor, and
    // keeps its stream by format id; a site job reads its watch page again.
    const std::string link = extractor ? job.WebpageUrl : job.Source;
    const TQuality old = job.Qualities[static_cast<size_t>(job.QualityIndex)];
    auto ticket = std::make_shared<uint64_t>(0);
    *ticket = resolver_->Resolve(
        link, proxy,
        [this, ref, item, refreshes, old, ticket](const resolve::TResolvedJob& answer) {
          refreshes_.erase(*ticket);
          TakeRefreshedAddress(ref, item, refreshes, RefreshedAddressIn(answer, old));
        },
        true, extractor ? job.Resolver : std::string());
    refreshes_.insert(*ticket);
  } catch (const std::exception& e) {
    LogError(e);
    item->FailAddressRefresh(e.what());
  }
}

void TJobRunner::TakeRefreshedAddress(uint64_t ref, TclDownLoadItem* item, int refreshes,
                                      const TRefreshedAddress& result) {
  TEncItem* job = TEncItem::FromRef(ref);
  // A job that was stopped or removed meanwhile, or whose item no longer waits
  // for this answer, drops it.
  if (!job || job->DownloadItem != item || job->StopRequested || !item->AwaitingAddress() ||
      item->AddressRefreshes() != refreshes)
    return;
  if (!result.Ok) {
    item->FailAddressRefresh(result.Error);
    return;
  }
  std::string address = result.StreamUrl;
  try {
    job->Qualities = result.Qualities;
    job->SetQuality(result.QualityIndex);
    job->StreamUrl = result.StreamUrl;
    // A pair's audio item takes the audio's new address, not the video's.
    const TLink& stream = TStreamJobs::CurrentStream(*job);
    ApplyStreamRequest(*item, stream);
    address = stream.Url;
    const std::string note = "The stream address expired; the watch page at " +
                             AddressHost(job->Source) + " gave a new one at " +
                             AddressHost(address);
    AppendNote(*job, note, "Warning");
    LogText("Warning: " + note);
    JobChanged(*job);  // the journal keeps the new address
  } catch (const std::exception& e) {
    LogError(e);
  }
  item->ContinueWithAddress(address);
}

bool TJobRunner::WaitForAddressRefreshes(std::chrono::milliseconds timeout) {
  VANTOREL_ASSERT_OWNER(owner_);
  return platform::PumpUntil(*owner_, [this] { return refreshes_.empty(); }, timeout);
}

void TJobRunner::ReadLink(TEncItem& job, TLinkRead done, bool wholePlaylist) {
  VANTOREL_ASSERT_OWNER(owner_);
  if (!resolver_) throw std::logic_error("The job runner is ending");
  const uint64_t ref = job.Ref();
  CancelLinkRead(job);
  SetJobState(job, jsReading);
  PublishExtractorChoice();  // the options as they are now
  const uint64_t ticket = resolver_->Resolve(
      job.Source, resolve::CurrentFetchProxy(),
      [this, ref, done = std::move(done)](const resolve::TResolvedJob& answer) {
        readings_.erase(ref);
        TEncItem* reading = TEncItem::FromRef(ref);
        if (!reading || reading->State != jsReading) return;
        // A playlist's entries become jobs of their own (the window makes them).
        const bool ok = !answer.Playlist && ApplyResolution(*reading, answer);
        if (done) done(*reading, ok, answer);
      },
      false, std::string(), wholePlaylist);
  readings_[ref] = ticket;
}

void TJobRunner::CancelLinkRead(const TEncItem& job) {
  VANTOREL_ASSERT_OWNER(owner_);
  auto it = readings_.find(job.Ref());
  if (it == readings_.end()) return;
  if (resolver_) resolver_->Cancel(it->second);
  readings_.erase(it);
}

void TJobRunner::CancelLinkReads() {
  VANTOREL_ASSERT_OWNER(owner_);
  if (resolver_)
    for (const auto& [ref, ticket] : readings_) resolver_->Cancel(ticket);
  readings_.clear();
}
