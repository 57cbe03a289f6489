#include "jobs/EncItem.h"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "log/LogWriter.h"

TJobList* JobList = nullptr;

namespace {

// Reference -> living job. The start sweep may look jobs up from its own
// thread, hence the lock.
std::mutex g_registryMutex;
std::unordered_map<uint64_t, TEncItem*> g_registry;
std::atomic<uint64_t> g_nextRef{1};

TJobChangeListener g_changeListener;  // main thread only

std::string TwoDigits(long long value) {
  std::string text = std::to_string(value);
  return text.size() == 1 ? "0" + text : text;
}

}  // namespace

std::string ModeCaption(int32_t mode) {
  if (mode < jmSkip || mode > jmDownloadConvert) return {};
  return std::string(ModeCaptions[static_cast<size_t>(mode - 1)]);
}

TEncItem::TEncItem() : ref_(g_nextRef.fetch_add(1)) {
  std::lock_guard lock(g_registryMutex);
  g_registry.emplace(ref_, this);
}

TEncItem::~TEncItem() {
  std::lock_guard lock(g_registryMutex);
  g_registry.erase(ref_);
}

bool AnyJobUsesFile(const std::string& path) {
  std::lock_guard lock(g_registryMutex);
  for (const auto& [ref, job] : g_registry) {
    if (job->OutputFile == path || job->MediaFile == path ||
        job->MediaFile.starts_with(path + "."))
      return true;
  }
  return false;
}

TEncItem* TEncItem::FromRef(uint64_t ref) {
  if (ref == 0) return nullptr;
  std::lock_guard lock(g_registryMutex);
  auto it = g_registry.find(ref);
  return it == g_registry.end() ? nullptr : it->second;
}

void TEncItem::SetQuality(int32_t index) {
  if (index >= 0 && static_cast<size_t>(index) >= Qualities.size())
    throw std::out_of_range("Quality index out of bounds (" + std::to_string(index) + ")");
  if (index >= 0 && Grid) {
    int row = JobRow(*this);
    if (row >= 0) Grid->SetCellText(colQuality, row, Qualities[static_cast<size_t>(index)].Name);
  }
  QualityIndex = index;
  JobChanged(*this);
}

TEncItem* TJobList::operator[](int index) const {
  if (index < 0 || index >= Count())
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  return items_[static_cast<size_t>(index)];
}

void TJobList::Delete(int index) {
  if (index < 0 || index >= Count())
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  items_.erase(items_.begin() + index);
}

int TJobList::IndexOf(const TEncItem* job) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i] == job) return static_cast<int>(i);
  return -1;
}

std::string SecondsToHMS(int32_t seconds) {
  long long s = seconds;
  long long h = s / 3600;
  long long m = s / 60 - h * 60;
  long long rest = s - (h * 3600 + m * 60);
  return TwoDigits(h) + ":" + TwoDigits(m) + ":" + TwoDigits(rest);
}

std::string JobStateText(TJobState state, const TCnvtSettings& settings) {
  switch (state) {
    case jsNew:
      return "Wait...";
    case jsDownloading:
      return "Downloading...";
    case jsEncoding:
      return "Encoding...";
    case jsDone:
      return "Successfully!";
    case jsConvertFailed:
      return "Can't convert file to " + settings.PresetName +
             ":incorrect parameters such as bitrate or Video size";
    case jsStopped:
      return "Stopped";
    case jsDownloadFailed:
      return "Download failed";
    case jsReading:
      return "Reading link...";
  }
  return {};
}

int JobRow(const TEncItem& job) {
  if (!job.Grid) return -1;
  const int rows = job.Grid->RowCount();
  for (int row = 0; row < rows; ++row)
    if (job.Grid->RowRef(row) == job.Ref()) return row;
  return -1;
}

TEncItem* RowJob(const IJobGrid& grid, int row) {
  return TEncItem::FromRef(grid.RowRef(row));
}

void AttachJobToRow(TEncItem& job, IJobGrid& grid, int row) {
  job.Grid = &grid;
  grid.SetRowRef(row, job.Ref());
}

void SetJobState(TEncItem& job, TJobState state) {
  int row = JobRow(job);
  if (row < 0) return;
  job.State = state;
  try {
    job.Grid->SetCellText(colFileName, row, job.Title);
    job.Grid->SetCellText(colTime, row, SecondsToHMS(job.DurationSec));
  } catch (const std::exception& e) {
    AppendNote(job, e, "Warning");
  }
  job.Grid->SetCellText(colState, row, JobStateText(state, job.Settings));
  JobChanged(job);
}

void SetJobChangeListener(TJobChangeListener listener) {
  g_changeListener = std::move(listener);
}

void JobChanged(TEncItem& job, TJobChange change) {
  if (!g_changeListener) return;
  try {
    g_changeListener(job, change);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void AppendNote(TEncItem& job, const std::exception& error, const std::string& label) {
  AppendNote(job, std::string(error.what()), label);
}

void AppendNote(TEncItem& job, const std::string& message, const std::string& label) {
  job.Notes += label + ": " + message + "\r";
}

void RemoveJobAt(TJobList& list, IJobGrid& grid, int index) {
  try {
    if (TEncItem* job = list[index]) {
      JobChanged(*job, TJobChange::Removed);
      delete job;
    }
    list.Delete(index);
    grid.DeleteRow(index);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void StopJobConversion(TEncItem& job) {
  if (job.State != jsEncoding || !job.Converter) return;
  job.StopRequested = true;
  try {
    job.Converter->RequestStop();
  } catch (...) {
  }
  job.Converter.reset();
}

void RemoveSelectedJobs(TJobList& list, IJobGrid& grid,
                        const std::function<void(TclDownLoadItem*)>& stopDownload) {
  if (grid.RowCount() == 0 || grid.SelectedRows().empty()) return;
  for (int row = grid.RowCount() - 1; row >= 0; --row) {
    if (!grid.IsRowSelected(row)) continue;
    if (TEncItem* job = RowJob(grid, row)) {
      if (job->DownloadItem && stopDownload) stopDownload(job->DownloadItem);
      StopJobConversion(*job);
    }
    RemoveJobAt(list, grid, row);
  }
  grid.SelectRow(grid.RowCount() - 1);
}
