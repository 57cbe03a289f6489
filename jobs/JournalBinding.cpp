// The journal bound to the job list: keys, change notifications turned into
// snapshots, and the start-up restore.
#include <sys/stat.h>

#include <chrono>

#include "jobs/Conversion.h"
#include "jobs/Journal.h"
#include "platform/Files.h"

// ---- TJobJournal ----

TJobJournal::TJobJournal(TJournal& journal, std::function<TJobList*()> jobs,
                         std::function<void(std::function<void()>)> defer)
    : journal_(journal), jobs_(std::move(jobs)), defer_(std::move(defer)) {
  SetJobChangeListener([this](TEncItem& job, TJobChange change) { Notify(job, change); });
}

TJobJournal::~TJobJournal() {
  SetJobChangeListener(nullptr);
}

int64_t TJobJournal::KeyOf(const TEncItem& job) {
  auto [it, added] = keys_.emplace(job.Ref(), 0);
  if (added) it->second = journal_.NewKey();
  return it->second;
}

void TJobJournal::Notify(TEncItem& job, TJobChange change) {
  if (change == TJobChange::Removed) {
    changed_.erase(job.Ref());
    auto it = keys_.find(job.Ref());
    if (it == keys_.end()) return;
    journal_.Remove(it->second);
    keys_.erase(it);
    return;
  }
  changed_.insert(job.Ref());
  if (scheduled_) return;
  scheduled_ = true;
  if (defer_)
    defer_([this] { SnapshotChanged(); });
  else
    SnapshotChanged();
}

void TJobJournal::SnapshotChanged() {
  scheduled_ = false;
  TJobList* list = jobs_ ? jobs_() : nullptr;
  if (!list || changed_.empty()) return;
  // In table order, so a new job's key follows the keys of the rows above it.
  // A job not (or no longer) in the list is not kept.
  for (int i = 0; i < list->Count(); ++i) {
    TEncItem* job = (*list)[i];
    if (job && changed_.count(job->Ref())) journal_.Put(SnapshotOf(*job, KeyOf(*job)));
  }
  changed_.clear();
}

void TJobJournal::SnapshotRunning() {
  TJobList* list = jobs_ ? jobs_() : nullptr;
  if (!list) return;
  for (int i = 0; i < list->Count(); ++i) {
    TEncItem* job = (*list)[i];
    if (job && (job->State == jsDownloading || job->State == jsEncoding))
      journal_.Put(SnapshotOf(*job, KeyOf(*job)));
  }
}

namespace {

// A claimed download continues only into the very file it was written to, at
// its full (pre-allocated) size.
std::string ResumeMismatch(const TJobSnapshot& s) {
  struct stat st {};
  if (::stat(s.MediaFile.c_str(), &st) != 0) return "is missing";
  if (st.st_size < s.Resume.ResourceSize) return "is shorter than recorded";
  if (s.FileInode != 0 && static_cast<uint64_t>(st.st_ino) != s.FileInode)
    return "was replaced by another file";
  return {};
}

}  // namespace

void TJobJournal::Restore(const std::vector<TJobSnapshot>& jobs, TJobList& list, IJobGrid& grid) {
  SetUnrecordedReservationWindow(
      journal_.WrittenBeforeOpen(),
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
  for (const TJobSnapshot& s : jobs) {
    auto job = std::make_unique<TEncItem>();
    RestoreFields(s, *job);
    bool adjusted = false;
    if (job->State == jsEncoding) {
      // Redone from the start by the next Start. Its half-written output goes,
      // but only a file this conversion reserved: until then OutputFile names
      // the output of an earlier, finished run, which stays.
      if (job->OutputReserved && !job->OutputFile.empty() && job->OutputFile != job->MediaFile)
        platform::DeleteFile(job->OutputFile);
      job->OutputReserved = false;
      job->OutputFile.clear();
      job->Progress = 0;
      // The download of a Download&Convert job was complete: only the
      // conversion is left to do.
      if (job->Mode == jmDownloadConvert && job->Resume.Empty()) job->Mode = jmConvertOnly;
      job->State = jsStopped;
      adjusted = true;
    } else if (job->State == jsDownloading) {
      job->State = jsStopped;
      adjusted = true;
    }
    if (!job->Resume.Empty()) {
      const std::string mismatch = ResumeMismatch(s);
      if (!mismatch.empty()) {
        job->Resume.Clear();
        AppendNote(
            *job,
            "The partial download " + s.MediaFile + " " + mismatch + "; it is downloaded again",
            "Warning");
        adjusted = true;
      }
    }
    const int row = grid.AppendRow();
    AttachJobToRow(*job, grid, row);
    grid.SetCellText(colFileName, row, job->Title);
    grid.SetCellText(colTime, row, SecondsToHMS(job->DurationSec));
    grid.SetCellText(colState, row, JobStateText(job->State, job->Settings));
    grid.SetProgress(row, job->Progress);
    grid.SetCellText(colMode, row, ModeCaption(job->Mode));
    if (job->QualityIndex >= 0 && static_cast<size_t>(job->QualityIndex) < job->Qualities.size())
      grid.SetCellText(colQuality, row,
                       job->Qualities[static_cast<size_t>(job->QualityIndex)].Name);
    grid.SetCellText(colCodec, row, job->Mode == jmDownloadOnly ? "" : job->Settings.PresetName);
    keys_[job->Ref()] = s.Key;
    if (adjusted) changed_.insert(job->Ref());
    list.Add(job.release());
  }
  SnapshotChanged();
}
