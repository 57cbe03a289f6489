#include "jobs/Conversion.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "convert/ConvertThread.h"
#include "jobs/EncItem.h"
#include "jobs/OutputTags.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/Files.h"
#include "platform/ThreadSet.h"
#include "settings/OutputName.h"
#include "settings/Settings.h"

namespace {

// Workers let go by their job. A worker cannot be freed inside its own report
// (its thread waits for that report), and joining it on the GUI thread could
// wait for an encoder to die; so a thread of its own frees each one once its
// thread has ended, which then takes no time.
class TWorkerPark {
 public:
  ~TWorkerPark() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    if (reaper_.joinable()) reaper_.join();
    parked_.clear();  // process end: whatever still runs is killed and joined
  }

  void Park(std::unique_ptr<TConvertThread> worker) {
    std::lock_guard lock(mutex_);
    parked_.push_back(std::move(worker));
    if (!reaper_.joinable()) reaper_ = std::thread([this] { Reap(); });
    changed_.notify_all();
  }

  size_t Count() {
    std::lock_guard lock(mutex_);
    return parked_.size();
  }

 private:
  void Reap() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      std::vector<std::unique_ptr<TConvertThread>> ended;
      for (auto it = parked_.begin(); it != parked_.end();) {
        if ((*it)->Finished()) {
          ended.push_back(std::move(*it));
          it = parked_.erase(it);
        } else {
          ++it;
        }
      }
      if (!ended.empty()) {
        lock.unlock();
        ended.clear();  // joins threads that have already ended
        lock.lock();
        continue;
      }
      // A killed worker ends within milliseconds; poll only while some wait.
      if (parked_.empty())
        changed_.wait(lock, [this] { return quit_ || !parked_.empty(); });
      else
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<TConvertThread>> parked_;
  std::thread reaper_;
  bool quit_ = false;
};

TWorkerPark& Park() {
  static TWorkerPark park;
  return park;
}

// Lets a worker go: no report of it runs any more, its encoder is killed now,
// and it is freed once its thread has ended.
void Retire(std::unique_ptr<TConvertThread> worker) {
  if (!worker) return;
  worker->Detach();
  worker->Abort();
  Park().Park(std::move(worker));
}

// The converter a job owns while its conversion runs.
class TJobConversion : public IJobConverter {
 public:
  explicit TJobConversion(std::unique_ptr<TConvertThread> worker) : worker_(std::move(worker)) {}
  ~TJobConversion() override { Retire(std::move(worker_)); }

  void RequestStop() override {
    worker_->Detach();
    worker_->Abort();
  }
  TConvertThread* Worker() const { return worker_.get(); }

 private:
  std::unique_ptr<TConvertThread> worker_;
};

// Start sweeps that have not been joined yet; joined at process end at the
// latest, so no sweep outlives the statics it uses.
platform::TThreadSet& Sweeps() {
  Park();  // built first, so it is torn down after the sweeps are joined
  static platform::TThreadSet sweeps;
  return sweeps;
}

std::mutex g_queueMutex;
std::shared_ptr<platform::CallQueue> g_reportQueue;

std::shared_ptr<platform::CallQueue> ReportQueue() {
  std::lock_guard lock(g_queueMutex);
  return g_reportQueue ? g_reportQueue : platform::CallQueue::Current();
}

// Jobs a sweep has reserved an output for and is building a worker for.
// Report queue's thread only.
std::set<uint64_t> g_starting;

std::string OutputPathFor(const TEncItem& job, const TCnvtSettings& settings) {
  const std::string ext = "." + settings.OutExt;
  const std::string title = job.IsLink ? job.Title : platform::ExtractFileName(job.Title);
  return platform::IncludeTrailingSlash(OutputFolder) + MakeOutputName(OutName, title, ext);
}

// A reserved output that no encoder filled is not left behind.
void DropEmptyOutput(const std::string& path) {
  if (!path.empty() && platform::FileSize(path) == 0) platform::DeleteFile(path);
}

bool SameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  if (fs::path(a).lexically_normal() == fs::path(b).lexically_normal()) return true;
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

// The conversion never got going: the job ends failed instead of waiting in
// "Encoding..." for a worker that will not come.
void FailStart(TEncItem& job, const std::string& message) {
  AppendNote(job, message, "Error");
  SetJobState(job, jsConvertFailed);
  LogText(job.Notes);
}

bool WantsConversion(const TEncItem* job) {
  return job && job->State == jsEncoding && !job->StopRequested && !job->Converter &&
         !g_starting.count(job->Ref());
}

// From here on the bar shows the conversion, not the finished download.
void ShowConversionPending(TEncItem& job) {
  job.Progress = 0;
  const int row = JobRow(job);
  if (row >= 0) job.Grid->SetProgress(row, 0);
}

// Hands the worker to the job and starts it. Report queue's thread.
void Install(TEncItem& job, std::unique_ptr<TConvertThread> worker) {
  job.OutputFile = worker->OutFile;
  const uint64_t ref = job.Ref();
  // Reports look the job up again and accept only its current worker.
  auto current = [ref](TConvertThread* w) -> TEncItem* {
    TEncItem* j = TEncItem::FromRef(ref);
    return j && JobConversionWorker(*j) == w ? j : nullptr;
  };
  worker->SetOnProgress([current](TConvertThread* w, int32_t percent) {
    if (TEncItem* j = current(w)) ConversionProgress(*j, *w, percent);
  });
  worker->SetOnDone([current](TConvertThread* w) {
    if (TEncItem* j = current(w)) ConversionDone(*j, *w);
  });
  worker->Tags = OutputTagsFor(job);
  // Started before the job takes it: a worker that cannot start stays with
  // the caller. Its reports cannot run before this returns (same thread).
  worker->Start();
  const std::string note = worker->InformationPassNote;
  job.Converter = std::make_unique<TJobConversion>(std::move(worker));
  JobChanged(job);
  if (!note.empty()) {
    AppendNote(job, note, "Warning");
    LogText("Warning: " + note);
  }
}

// What the sweep needs of a job, read on the report queue's thread.
struct TStartPlan {
  bool go = false;
  std::string mediaFile;
  std::string outputFile;
  TCnvtSettings settings;
};

// One job of a sweep; without settings of its own it takes the job's.
struct TSweepEntry {
  uint64_t ref = 0;
  std::optional<TCnvtSettings> settings;
};

TStartPlan PrepareSweepStart(const TSweepEntry& entry) {
  TStartPlan plan;
  TEncItem* job = TEncItem::FromRef(entry.ref);
  if (!WantsConversion(job)) return plan;
  plan.settings = entry.settings ? *entry.settings : job->Settings;
  try {
    plan.outputFile = ReserveOutputFile(OutputPathFor(*job, plan.settings));
  } catch (const std::exception& e) {
    FailStart(*job, e.what());
    return plan;
  }
  job->OutputFile = plan.outputFile;  // journaled: a crash from here leaves no stray file
  JobChanged(*job);
  plan.mediaFile = job->MediaFile;
  plan.go = true;
  g_starting.insert(entry.ref);
  return plan;
}

void FinishSweepStart(uint64_t ref, const TStartPlan& plan, std::unique_ptr<TConvertThread>& worker,
                      const std::string& error) {
  g_starting.erase(ref);
  TEncItem* job = TEncItem::FromRef(ref);
  if (!WantsConversion(job)) {
    // Removed, stopped or started elsewhere meanwhile: the worker never runs.
    DropEmptyOutput(plan.outputFile);
    return;
  }
  std::string why = error;
  if (worker) {
    try {
      Install(*job, std::move(worker));
      return;
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  DropEmptyOutput(plan.outputFile);
  FailStart(*job, why);
}

void SweepOne(const TSweepEntry& entry, const std::shared_ptr<platform::CallQueue>& queue) {
  const uint64_t ref = entry.ref;
  TStartPlan plan;
  queue->Call([&] { plan = PrepareSweepStart(entry); });
  if (!plan.go) return;
  // The information pass may take seconds: it runs here, not on the GUI thread.
  std::unique_ptr<TConvertThread> worker;
  std::string error;
  try {
    worker = std::make_unique<TConvertThread>(plan.mediaFile, false, plan.settings, plan.outputFile,
                                              queue);
  } catch (const std::exception& e) {
    error = e.what();
  }
  queue->Call([&] { FinishSweepStart(ref, plan, worker, error); });
  // A worker still here was not wanted; it never started, so freeing it is quick.
}

void StartSweep(std::vector<TSweepEntry> entries) {
  auto queue = ReportQueue();
  Sweeps().Launch([entries = std::move(entries), queue] {
    for (const TSweepEntry& entry : entries) {
      try {
        SweepOne(entry, queue);
      } catch (const platform::CallQueueClosed&) {
        return;  // the program is closing
      } catch (const std::exception& e) {
        LogError(e);
      }
    }
  });
}

}  // namespace

std::string ReserveOutputFile(const std::string& path) {
  const std::string ext = platform::ExtractFileExt(path);
  const std::string folder = platform::ExtractFilePath(path);
  std::string base = platform::ExtractFileName(path);
  base.resize(base.size() - ext.size());
  std::string candidate = path;
  for (unsigned long long n = 0;; ++n) {
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return candidate;
    }
    if (errno != EEXIST)
      throw std::system_error(errno, std::generic_category(),
                              "Cannot create output file " + candidate);
    candidate = folder + base + std::to_string(n) + ext;
  }
}

void SetConversionReportQueue(std::shared_ptr<platform::CallQueue> queue) {
  std::lock_guard lock(g_queueMutex);
  g_reportQueue = std::move(queue);
}

void StartConversion(TEncItem* job, const TCnvtSettings& settings) {
  if (!WantsConversion(job)) return;
  ShowConversionPending(*job);
  // The information pass may take up to its limit: never on this thread.
  if (TConvertThread::NeedsInformationPass(settings)) {
    StartSweep({TSweepEntry{job->Ref(), settings}});
    return;
  }
  std::string output;
  try {
    output = ReserveOutputFile(OutputPathFor(*job, settings));
    auto worker =
        std::make_unique<TConvertThread>(job->MediaFile, false, settings, output, ReportQueue());
    Install(*job, std::move(worker));
  } catch (const std::exception& e) {
    DropEmptyOutput(output);
    FailStart(*job, e.what());
  }
}

void StartConversionSweep(std::vector<uint64_t> jobRefs) {
  for (uint64_t ref : jobRefs)
    if (TEncItem* job = TEncItem::FromRef(ref); WantsConversion(job)) ShowConversionPending(*job);
  std::vector<TSweepEntry> entries;
  for (uint64_t ref : jobRefs) entries.push_back(TSweepEntry{ref, std::nullopt});
  StartSweep(std::move(entries));
}

void ConversionProgress(TEncItem& job, TConvertThread& /*worker*/, int32_t percent) {
  int row = JobRow(job);
  if (row >= 0) job.Grid->SetProgress(row, static_cast<double>(percent));
}

void ConversionDone(TEncItem& job, TConvertThread& worker) {
  if (worker.ErrorFlag) {
    SetJobState(job, jsConvertFailed);
    if (worker.OutFile == job.OutputFile) DropEmptyOutput(worker.OutFile);
  } else if (worker.StopFlag) {
    // The stop has already set jsStopped.
  } else {
    // The source goes only when the output is really there and is not itself
    // the source.
    if (job.DeleteSource && worker.ExitCode == 0 && platform::FileSize(worker.OutFile) > 0 &&
        !SameFile(job.MediaFile, worker.OutFile) && !SameFile(job.MediaFile, job.OutputFile))
      platform::DeleteFile(job.MediaFile);
    NoteTagWarning(job, worker);
    SetJobState(job, jsDone);
    int row = JobRow(job);
    if (row >= 0) job.Grid->SetProgress(row, 100);
    job.Mode = jmSkip;
    if (row >= 0) job.Grid->SetCellText(colMode, row, ModeCaption(jmSkip));
  }
  if (worker.ErrorFlag)
    job.Notes += "Encoding error, command: " + worker.CommandLine + "\r\n" + worker.ConsoleOutput;
  if (!job.Notes.empty()) LogText(job.Notes);
  // The run is over; the job lets its worker go (freed once its thread ends).
  if (JobConversionWorker(job) == &worker) job.Converter.reset();
}

TConvertThread* JobConversionWorker(const TEncItem& job) {
  auto* holder = dynamic_cast<TJobConversion*>(job.Converter.get());
  return holder ? holder->Worker() : nullptr;
}

bool WaitForConversionSweeps(std::chrono::milliseconds timeout) {
  bool done = platform::PumpUntil([] { return Sweeps().AllDone(); }, timeout);
  Sweeps().ReapEnded();
  return done;
}

size_t PendingRetiredConversions() {
  return Park().Count();
}
