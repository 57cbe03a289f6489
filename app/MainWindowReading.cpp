// Rows whose link is being read: the runner reads them off this thread; here
// their rows are shown, filled when the answer comes, and failures are told,
// one box per batch of links added together.
#include <QItemSelectionModel>
#include <QTimer>
#include <algorithm>
#include <exception>

#include "app/JobActivity.h"
#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "jobs/ExtractorJobs.h"
#include "jobs/JobRunner.h"
#include "jobs/ResolveService.h"
#include "log/LogWriter.h"

namespace {

const char* const kAppTitle = "Vantorel 1.0";

std::string FailureText(int failed, int total, const std::string& shown,
                        const std::string& advice, bool videos) {
  if (videos)
    return std::to_string(failed) + " of " + std::to_string(total) +
           " videos could not be read." + (advice.empty() ? std::string() : "\n" + advice);
  if (total <= 1) {
    if (!advice.empty()) return advice;
    return shown.empty() ? "Error Link!" : "Error Link!\n" + shown;
  }
  return "Error Link! " + std::to_string(failed) + " of " + std::to_string(total) +
         " links could not be read." + (advice.empty() ? std::string() : "\n" + advice);
}

}  // namespace

int TfmMain::ReadingLinks() const {
  return runner_ ? runner_->ReadingLinks() : 0;
}

bool TfmMain::IntakeIdle() const {
  return ReadingLinks() == 0 && pendingJobs_.empty() && !addingJob_ && linkBatches_.empty() &&
         readFailures_.empty() && !showingReadFailure_ && playlistOffers_.empty() &&
         !askingPlaylist_;
}

int TfmMain::NewLinkBatch(int size) {
  const int batch = ++lastBatch_;
  TLinkBatch& b = linkBatches_[batch];
  b.total = size;
  b.unanswered = size;
  return batch;
}

void TfmMain::ShowReadingRow(TEncItem& job, int row) {
  try {
    IJobGrid& grid = Grid();
    // A playlist's entry shows its listed title; any other link itself.
    grid.SetCellText(colFileName, row, job.Title.empty() ? job.Source : job.Title);
    grid.SetCellText(colTime, row, SecondsToHMS(job.DurationSec));
    grid.SetCellText(colState, row, JobStateText(jsReading, job.Settings));
    grid.SetProgress(row, 0);
    grid.SetCellText(colMode, row, ModeCaption(job.Mode));
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::ShowNewJob(TEncItem& job, int row) {
  try {
    IJobGrid& grid = Grid();
    job.State = jsNew;
    job.SetQuality(job.QualityIndex);
    grid.SetCellText(colFileName, row, job.Title);
    grid.SetCellText(colTime, row, SecondsToHMS(job.DurationSec));
    grid.SetCellText(colState, row, JobStateText(jsNew, job.Settings));
    grid.SetProgress(row, 0);
    grid.SetCellText(colMode, row, ModeCaption(job.Mode));
    ApplyPanelToJob(&job);
    // Once the preset is known: an audio one takes the best audio-only stream.
    PickQualityForPreset(job);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::ReadJobLink(TEncItem& job, int batch, bool wholePlaylist) {
  readingBatch_[job.Ref()] = batch;
  // A playlist entry that is a media address is named by the file alone: the
  // listing's title and running time stay.
  const resolve::IResolver* reader = runner_->Resolver().Resolvers().For(job.Source);
  const bool direct = reader && reader->Immediate();
  const std::string listedTitle = job.Title != job.Source ? job.Title : std::string();
  const int32_t listedTime = job.DurationSec;
  try {
    runner_->ReadLink(
        job,
        [this, batch, direct, listedTitle, listedTime](TEncItem& read, bool ok,
                                                       const resolve::TResolvedJob& answer) {
          readingBatch_.erase(read.Ref());
          if (answer.Playlist) return PlaylistRead(read, batch, answer);
          if (!ok && !answer.Failure.empty()) LogText("Error Link: " + answer.Failure);
          if (ok && direct && !listedTitle.empty()) read.Title = listedTitle;
          if (ok && read.DurationSec <= 0 && listedTime > 0) read.DurationSec = listedTime;
          LinkRead(read, ok, batch, answer.ShowFailure ? answer.Failure : std::string(),
                   answer.Advice);
        },
        wholePlaylist);
  } catch (const std::exception& e) {
    // No thread could take it: the link fails like one that cannot be read.
    LogError(e);
    readingBatch_.erase(job.Ref());
    LinkRead(job, false, batch);
  }
  ShowReadingCount();
}

void TfmMain::LinkRead(TEncItem& job, bool ok, int batch, const std::string& shown,
                       const std::string& advice) {
  auto it = linkBatches_.find(batch);
  if (ok) {
    const int row = JobRow(job);
    if (row >= 0) ShowNewJob(job, row);
    JobChanged(job);
  } else if (it != linkBatches_.end()) {
    it->second.failed.push_back(job.Ref());
    if (!shown.empty()) it->second.shown = shown;
    if (!advice.empty()) it->second.advice = advice;
  }
  if (it != linkBatches_.end()) --it->second.unanswered;
  SettleLinkBatches();
  ShowReadingCount();
}

void TfmMain::LinkGone(uint64_t ref, int batch) {
  if (batch < 0) {
    auto found = readingBatch_.find(ref);
    if (found == readingBatch_.end()) return;
    batch = found->second;
    readingBatch_.erase(found);
  }
  auto it = linkBatches_.find(batch);
  if (it != linkBatches_.end()) --it->second.unanswered;
  SettleLinkBatches();
  ShowReadingCount();
}

void TfmMain::CancelSelectedReadings() {
  std::vector<uint64_t> cancelled;
  for (int row : Grid().SelectedRows()) {
    TEncItem* job = RowJob(Grid(), row);
    if (!job || job->State != jsReading) continue;
    runner_->CancelLinkRead(*job);
    cancelled.push_back(job->Ref());
  }
  // Counted as gone now; their rows go right after.
  for (uint64_t ref : cancelled) {
    auto found = readingBatch_.find(ref);
    if (found == readingBatch_.end()) continue;
    auto it = linkBatches_.find(found->second);
    if (it != linkBatches_.end()) --it->second.unanswered;
    readingBatch_.erase(found);
  }
}

void TfmMain::SettleLinkBatches() {
  bool queued = false;
  for (auto it = linkBatches_.begin(); it != linkBatches_.end();) {
    if (it->second.unanswered > 0) {
      ++it;
      continue;
    }
    if (!it->second.failed.empty() || it->second.missing > 0) {
      readFailures_.push_back(
          {FailureText(static_cast<int>(it->second.failed.size()) + it->second.missing,
                       it->second.total, it->second.shown, it->second.advice, it->second.videos),
           it->second.failed});
      queued = true;
    }
    it = linkBatches_.erase(it);
  }
  // Not from inside the caller: a box runs its own event loop, and the caller
  // may be in the middle of removing rows.
  if (queued && !showingReadFailure_)
    QTimer::singleShot(0, this, &TfmMain::ShowReadFailures);
}

void TfmMain::ShowReadFailures() {
  if (showingReadFailure_) return;
  showingReadFailure_ = true;
  while (!readFailures_.empty()) {
    TReadFailure failure = readFailures_.front();
    readFailures_.pop_front();
    try {
      // The rows stay shown until the box is answered.
      ShowMessageBox(this, QString::fromStdString(failure.text), QString::fromUtf8(kAppTitle),
                     QMessageBox::NoIcon);
      for (uint64_t ref : failure.rows) {
        TEncItem* job = TEncItem::FromRef(ref);
        const int index = job ? Jobs().IndexOf(job) : -1;
        if (index >= 0) ::RemoveJobAt(Jobs(), *ngListItems, index);
      }
    } catch (const std::exception& e) {
      LogError(e);
    }
  }
  showingReadFailure_ = false;
}

void TfmMain::ReadRestoredLinks() {
  std::vector<TEncItem*> reading;
  for (int i = 0; i < Jobs().Count(); ++i)
    if (TEncItem* job = Jobs()[i]; job && job->State == jsReading) reading.push_back(job);
  if (reading.empty()) return;
  const int batch = NewLinkBatch(static_cast<int>(reading.size()));
  for (TEncItem* job : reading) {
    const int row = JobRow(*job);
    if (row >= 0) ShowReadingRow(*job, row);
    ReadJobLink(*job, batch, job->Resolver == kWholePlaylistReader);
  }
}

void TfmMain::ShowReadingCount() {
  if (!Activity) return;
  // Playlists being read show how far they are.
  int done = 0, total = 0;
  for (const auto& [id, b] : linkBatches_)
    if (b.videos) {
      total += b.total;
      done += b.total - b.unanswered;
    }
  Activity->SetReadingLinks(ReadingLinks(), done, total);
}
