// Run control: Start and Stop, the download manager's events, the running
// indicator's timer, and what the run shows while it goes on.
#include <QLineEdit>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "app/JobActivity.h"
#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "app/Notifier.h"
#include "download/clMultiDownLoader.h"
#include "jobs/Conversion.h"
#include "jobs/Resolve.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "settings/OutputName.h"
#include "settings/Settings.h"

namespace {

const int kTimer1Interval = 1000;

// Creates the file empty, or empties the file of that name.
void CreateEmptyFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file)
    throw std::runtime_error("Cannot create file \"" + path + "\". " + std::strerror(errno));
  std::fclose(file);
}

// Why a completed download gave no usable file; empty when it gave one. The
// manager reports every end alike, so the item itself is asked.
std::string DownloadFailure(TclDownLoadItem& item) {
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

}  // namespace

void TfmMain::CreateRunControl() {
  clDownLoader = std::make_unique<TclMultiDownLoader>();
  clDownLoader->SetTryCount(25);
  clDownLoader->SetTimeOut(999999);
  clDownLoader->SetMaxStartedItems(3);
  clDownLoader->InternetAgent = "Mozilla/4.0 (compatible; Vantorel Download Engine 1.0)";
  clDownLoader->OnDataItemProceed = [this](TclMultiDownLoader* sender, TclDownLoadItem* item,
                                           TclResourceInfo* info, TclResourceStateItem* state,
                                           const char* data, int size) {
    clDownLoaderDataItemProceed(sender, item, info, state, data, size);
  };
  clDownLoader->OnProcessCompleted = [this](TclMultiDownLoader* sender, TclDownLoadItem* item) {
    clDownLoaderProcessCompleted(sender, item);
  };

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(kTimer1Interval);
  connect(Timer1, &QTimer::timeout, this, &TfmMain::Timer1Timer);

  downloaderBusy_ = [this] { return clDownLoader->IsBusy(); };
  stopDownload_ = [this](TclDownLoadItem* item) { clDownLoader->Stop(item); };

  // Conversion workers report to this (the GUI) thread.
  SetConversionReportQueue(platform::CallQueue::Current());
}

void TfmMain::CreateJobActivity() {
  Notifier = new app::TJobNotifier(*this, RzTrayIcon1);
  Activity = new app::TJobActivity(*this, *Notifier);
}

void TfmMain::btnDownloadClick() {
  try {
    if (!platform::DirectoryExists(edFolder->text().toStdString())) {
      ShowMessageBox(this, "Output folder does not exist", "Start Convert", QMessageBox::Critical);
      edFolder->setFocus();
      return;
    }
    StartRun();
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::StartRun() {
  OutputFolder = edFolder->text().toStdString();
  if (clDownLoader->IsBusy()) return;
  TJobList& jobs = Jobs();

  // Every item is about to be freed; no job may keep pointing at one.
  std::vector<TEncItem*> everyJob;
  for (int i = 0; i < jobs.Count(); ++i) everyJob.push_back(jobs[i]);
  ForgetDownloadItems(everyJob);
  clDownLoader->DownLoadList()->Clear();

  std::vector<TEncItem*> prepared;
  std::vector<uint64_t> toConvert;  // taken here, on the GUI thread, for the sweep
  try {
    ApplyProxyRecord(net::ProxyOf(cvOptions), clDownLoader->HttpProxySettings);
    for (int i = 0; i < jobs.Count(); ++i) {
      TEncItem* job = jobs[i];
      if (!job) continue;
      switch (job->Mode) {
        case jmDownloadOnly:
        case jmDownloadConvert: {
          job->StopRequested = false;
          if (job->QualityIndex < 0 ||
              static_cast<size_t>(job->QualityIndex) >= job->Qualities.size())
            throw std::out_of_range("No quality is chosen for \"" + job->Title + "\"");
          const std::string& ext = job->Qualities[static_cast<size_t>(job->QualityIndex)].Link.Ext;
          const std::string name = MakeOutputName(OutName, job->Title, ext);
          const std::string path = UniquePath(platform::IncludeTrailingSlash(OutputFolder) + name);
          job->MediaFile = path;
          CreateEmptyFile(path);
          TclDownLoadItem* item = clDownLoader->DownLoadList()->Add();
          item->SetURL(job->StreamUrl);
          item->SetLocalFile(path);
          SetJobState(*job, jsDownloading);
          job->DownloadItem = item;
          prepared.push_back(job);
          break;
        }
        case jmConvertOnly:
          job->StopRequested = false;
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
    // The run does not start. Prepared jobs keep their state but lose their
    // items, which would never run; the next Start prepares them again.
    LogError(e);
    ForgetDownloadItems(prepared);
    clDownLoader->DownLoadList()->Clear();
    return;
  }
  try {
    StartDownloads();
    StartConversionSweep(std::move(toConvert));
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::ForgetDownloadItems(const std::vector<TEncItem*>& jobs) {
  for (TEncItem* job : jobs)
    if (job) job->DownloadItem = nullptr;
}

void TfmMain::StartDownloads() {
  SetRunning(true);
  Timer1->start();
  Activity->RunStarted();
  if (clDownLoader->DownLoadList()->Count() > 0) clDownLoader->Start(nullptr, true);
}

int TfmMain::DownloadJobIndex(const TclDownLoadItem* item) const {
  if (!item || !jobList_) return -1;
  for (int i = 0; i < jobList_->Count(); ++i) {
    const TEncItem* job = (*jobList_)[i];
    if (job && job->DownloadItem == item) return i;
  }
  return -1;
}

void TfmMain::clDownLoaderDataItemProceed(TclMultiDownLoader*, TclDownLoadItem* Item,
                                          TclResourceInfo*, TclResourceStateItem* AStateItem,
                                          const char*, int) {
  try {
    const int index = DownloadJobIndex(Item);
    if (index < 0) return;
    TEncItem* job = Jobs()[index];
    const TclResourceStateList* state = AStateItem ? AStateItem->ResourceState() : nullptr;
    if (!state || state->ResourceSize() <= 0)
      throw std::runtime_error("The size of \"" + job->Title +
                               "\" is not known; no percentage can be shown");
    job->Progress = static_cast<double>(state->BytesProceed()) /
                    static_cast<double>(state->ResourceSize()) * 100;
    Grid().SetProgress(index, job->Progress);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::clDownLoaderProcessCompleted(TclMultiDownLoader*, TclDownLoadItem* Item) {
  int index = -1;
  try {
    index = DownloadJobIndex(Item);
  } catch (const std::exception& e) {
    LogError(e);
  }
  // A removed job's download still reports; nothing is left to update.
  if (index < 0) return;
  TEncItem* job = Jobs()[index];
  auto showSkip = [job] {
    job->Mode = jmSkip;
    const int row = JobRow(*job);
    if (row >= 0) job->Grid->SetCellText(colMode, row, ModeCaption(jmSkip));
  };
  try {
    SetJobState(*job, jsEncoding);
    job->DeleteSource = cvOptions.DeleteVideo;
    std::string failure;
    if (job->StopRequested) {
      SetJobState(*job, jsStopped);
      showSkip();
    } else if (!(failure = DownloadFailure(*Item)).empty()) {
      // Neither success nor a conversion of a partial file; the mode stays so
      // that the next Start tries again.
      SetJobState(*job, jsDownloadFailed);
      AppendNote(*job, failure, "Error");
      LogText("Error: " + failure);
    } else if (job->Mode == jmDownloadConvert) {
      if (IsDirectMediaLink(job->Source)) ShowRunningTimeOf(*job);
      // Through a sweep: its information pass runs the encoder, which would hold
      // up the window for as long as that takes.
      StartConversionSweep({job->Ref()});
    } else {
      if (IsDirectMediaLink(job->Source)) ShowRunningTimeOf(*job);
      SetJobState(*job, jsDone);
      showSkip();
    }
  } catch (const std::exception& e) {
    LogError(e);
    AppendNote(*job, e, "Error");
  }
  job->DownloadItem = nullptr;
}

void TfmMain::Timer1Timer() {
  bool running = false;
  if (jobList_) {
    for (int i = 0; i < jobList_->Count() && !running; ++i) {
      try {
        const TEncItem* job = (*jobList_)[i];
        running = job && (job->State == jsDownloading || job->State == jsEncoding);
      } catch (const std::exception&) {
        // An entry that cannot be read does not count.
      }
    }
  }
  SetRunning(running);
  if (!running) Timer1->stop();
}

void TfmMain::btnStopSelClick() {
  try {
    // Tag 0 ("Stop All") stops every row, tag 1 ("Stop Selected") the selected ones.
    const int tag = sender() ? sender()->property("tag").toInt() : 0;
    IJobGrid& grid = Grid();
    for (int row = 0; row < grid.RowCount(); ++row) {
      if (tag != 0 && !grid.IsRowSelected(row)) continue;
      if (TEncItem* job = RowJob(grid, row)) StopJob(job);
    }
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::StopJob(TEncItem* job) {
  if (!job) return;
  if (job->State == jsDownloading && job->DownloadItem) {
    job->StopRequested = true;
    TclDownLoadItem* item = job->DownloadItem;
    clDownLoader->Stop(item);
    SetJobState(*job, jsStopped);
    // A queued item leaves the queue and never reports; the job keeps its mode.
    if (!item->IsRunning()) job->DownloadItem = nullptr;
  } else if (job->State == jsEncoding) {
    try {
      StopJobConversion(*job);
      SetJobState(*job, jsStopped);
    } catch (...) {
    }
  }
}
