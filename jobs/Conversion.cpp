#include "jobs/Conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

class TJobConversion;

struct TConversionThreads::TState {
  std::shared_ptr<platform::CallQueue> owner;
  bool stopping = false;  // the set is being torn down: nothing more starts
  // Jobs a sweep has reserved an output for and is building a worker for.
  std::set<uint64_t> starting;
  // The conversions whose worker came from here and still runs.
  std::set<TJobConversion*> running;
  platform::TThreadSet sweeps;  // and the owner's other short tasks
  // A worker cannot be freed inside its own report (its thread waits for that
  // report), and joining it on the owner thread could wait for an encoder to
  // die; so each one let go is freed on a thread of its own, where its
  // destructor joins its (soon) ended thread.
  platform::TThreadSet retired;
};

namespace {

using TState = TConversionThreads::TState;

std::atomic<size_t> g_retiring{0};

// Lets a worker go: no report of it runs any more, its encoder is killed now,
// and it is freed on a thread of the set once its thread has ended.
void Retire(TState& st, std::unique_ptr<TConvertThread> worker) {
  if (!worker) return;
  worker->Detach();
  worker->Abort();
  ++g_retiring;
  std::shared_ptr<TConvertThread> held(std::move(worker));
  try {
    st.retired.Launch([held = std::move(held)]() mutable {
      held.reset();
      --g_retiring;
    });
  } catch (...) {
    // No thread: the worker went with the refused body, here; its encoder is
    // already dead, so the join was short.
    --g_retiring;
  }
}

}  // namespace

// The converter a job owns while its conversion runs.
class TJobConversion : public IJobConverter {
 public:
  TJobConversion(TState& st, std::unique_ptr<TConvertThread> worker)
      : state_(&st), worker_(std::move(worker)) {
    st.running.insert(this);
  }
  ~TJobConversion() override { LetGo(); }

  void RequestStop() override {
    if (!worker_) return;
    worker_->Detach();
    worker_->Abort();
  }
  TConvertThread* Worker() const { return worker_.get(); }

  // The worker goes to its set's retired threads; the job keeps an empty converter.
  void LetGo() {
    if (!state_) return;
    state_->running.erase(this);
    Retire(*state_, std::move(worker_));
    state_ = nullptr;
  }

 private:
  TState* state_;
  std::unique_ptr<TConvertThread> worker_;
};

namespace {

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

bool WantsConversion(const TState& st, const TEncItem* job) {
  return !st.stopping && job && job->State == jsEncoding && !job->StopRequested &&
         !job->Converter && !st.starting.count(job->Ref());
}

// From here on the bar shows the conversion, not the finished download.
void ShowConversionPending(TEncItem& job) {
  job.Progress = 0;
  const int row = JobRow(job);
  if (row >= 0) job.Grid->SetProgress(row, 0);
}

// Hands the worker to the job and starts it. Owner thread.
void Install(TConversionThreads& threads, TEncItem& job, std::unique_ptr<TConvertThread> worker) {
  job.OutputFile = worker->OutFile;
  job.OutputReserved = true;
  const uint64_t ref = job.Ref();
  // Reports look the job up again and accept only its current worker.
  auto current = [ref](TConvertThread* w) -> TEncItem* {
    TEncItem* j = TEncItem::FromRef(ref);
    return j && JobConversionWorker(*j) == w ? j : nullptr;
  };
  // The set outlives every report: its destructor detaches the workers first.
  TConversionThreads* set = &threads;
  worker->SetOnProgress([current, set](TConvertThread* w, int32_t percent) {
    if (TEncItem* j = current(w)) ConversionProgress(*set, *j, *w, percent);
  });
  worker->SetOnDone([current, set](TConvertThread* w) {
    if (TEncItem* j = current(w)) ConversionDone(*set, *j, *w);
  });
  worker->Tags = OutputTagsFor(job);
  // Started before the job takes it: a worker that cannot start stays with
  // the caller. Its reports cannot run before this returns (same thread).
  worker->Start();
  const std::string note = worker->InformationPassNote;
  job.Converter = std::make_unique<TJobConversion>(threads.State(), std::move(worker));
  JobChanged(job);
  if (!note.empty()) {
    AppendNote(job, note, "Warning");
    LogText("Warning: " + note);
  }
}

// What the sweep needs of a job, read on the owner thread.
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

TStartPlan PrepareSweepStart(TState& st, const TSweepEntry& entry) {
  VANTOREL_ASSERT_OWNER(st.owner);
  TStartPlan plan;
  TEncItem* job = TEncItem::FromRef(entry.ref);
  if (!WantsConversion(st, job)) return plan;
  plan.settings = entry.settings ? *entry.settings : job->Settings;
  try {
    plan.outputFile = ReserveOutputFile(OutputPathFor(*job, plan.settings));
  } catch (const std::exception& e) {
    FailStart(*job, e.what());
    return plan;
  }
  job->OutputFile = plan.outputFile;  // journaled: a crash from here leaves no stray file
  job->OutputReserved = true;
  JobChanged(*job);
  plan.mediaFile = job->MediaFile;
  plan.go = true;
  st.starting.insert(entry.ref);
  return plan;
}

void FinishSweepStart(TConversionThreads& threads, uint64_t ref, const TStartPlan& plan,
                      std::unique_ptr<TConvertThread>& worker, const std::string& error) {
  TState& st = threads.State();
  VANTOREL_ASSERT_OWNER(st.owner);
  st.starting.erase(ref);
  TEncItem* job = TEncItem::FromRef(ref);
  if (!WantsConversion(st, job)) {
    // Removed, stopped or started elsewhere meanwhile: the worker never runs.
    DropEmptyOutput(plan.outputFile);
    return;
  }
  std::string why = error;
  if (worker) {
    try {
      Install(threads, *job, std::move(worker));
      return;
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  DropEmptyOutput(plan.outputFile);
  FailStart(*job, why);
}

void SweepOne(TConversionThreads& threads, const TSweepEntry& entry,
              const std::shared_ptr<platform::CallQueue>& queue) {
  const uint64_t ref = entry.ref;
  TStartPlan plan;
  queue->Call([&] { plan = PrepareSweepStart(threads.State(), entry); });
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
  queue->Call([&] { FinishSweepStart(threads, ref, plan, worker, error); });
  // A worker still here was not wanted; it never started, so freeing it is quick.
}

// The set outlives its sweeps: its destructor waits for them.
void StartSweep(TConversionThreads& threads, std::vector<TSweepEntry> entries) {
  auto queue = threads.Owner();
  threads.State().sweeps.Launch([&threads, entries = std::move(entries), queue] {
    for (const TSweepEntry& entry : entries) {
      try {
        SweepOne(threads, entry, queue);
      } catch (const platform::CallQueueClosed&) {
        return;  // the program is closing
      } catch (const std::exception& e) {
        LogError(e);
      }
    }
  });
}

int64_t g_unrecordedAfterNs = 0;
int64_t g_unrecordedBeforeNs = 0;

bool IsUnrecordedReservation(const std::string& path) {
  if (g_unrecordedAfterNs == 0) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0 ||
      st.st_uid != ::geteuid())
    return false;
  const int64_t changed = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  // Strictly after: a file made in the same clock tick as the last write may
  // be one the journal recorded.
  return changed > g_unrecordedAfterNs && changed < g_unrecordedBeforeNs && !AnyJobUsesFile(path);
}

}  // namespace

void SetUnrecordedReservationWindow(int64_t afterNs, int64_t beforeNs) {
  g_unrecordedAfterNs = afterNs;
  g_unrecordedBeforeNs = beforeNs;
}

std::string ReserveOutputFile(const std::string& path) {
  // A zero byte would cut the name short: open() would see another path (the
  // folder, say), and every candidate would meet the same one.
  if (path.find('\0') != std::string::npos)
    throw std::system_error(EINVAL, std::generic_category(),
                            "Cannot create output file " + PrintableFileText(path));
  const std::string ext = platform::ExtractFileExt(path);
  const std::string folder = platform::ExtractFilePath(path);
  std::string base = platform::ExtractFileName(path);
  base.resize(base.size() - ext.size());
  std::string candidate = folder + FitFileName(base, ext);
  // Bounded: a folder that refuses every name must not hold up the caller.
  for (int n = 0; n <= kMaxOutputCandidates; ++n) {
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return candidate;
    }
    if (errno != EEXIST)
      throw std::system_error(errno, std::generic_category(),
                              "Cannot create output file " + candidate);
    if (IsUnrecordedReservation(candidate)) {
      LogText("Reusing the empty " + PrintableFileText(candidate) +
              " that the previous run reserved before it ended");
      return candidate;
    }
    candidate = folder + FitFileName(base, std::to_string(n) + ext);
  }
  throw std::system_error(EEXIST, std::generic_category(),
                          "Cannot create output file " + path + ": every numbered name is taken");
}

void StartConversion(TConversionThreads& threads, TEncItem* job, const TCnvtSettings& settings) {
  TState& st = threads.State();
  VANTOREL_ASSERT_OWNER(st.owner);
  if (!WantsConversion(st, job)) return;
  ShowConversionPending(*job);
  // The information pass may take up to its limit: never on this thread.
  if (TConvertThread::NeedsInformationPass(settings)) {
    StartSweep(threads, {TSweepEntry{job->Ref(), settings}});
    return;
  }
  std::string output;
  try {
    output = ReserveOutputFile(OutputPathFor(*job, settings));
    auto worker =
        std::make_unique<TConvertThread>(job->MediaFile, false, settings, output, st.owner);
    Install(threads, *job, std::move(worker));
  } catch (const std::exception& e) {
    DropEmptyOutput(output);
    FailStart(*job, e.what());
  }
}

void StartConversionSweep(TConversionThreads& threads, std::vector<uint64_t> jobRefs) {
  TState& st = threads.State();
  VANTOREL_ASSERT_OWNER(st.owner);
  for (uint64_t ref : jobRefs)
    if (TEncItem* job = TEncItem::FromRef(ref); WantsConversion(st, job))
      ShowConversionPending(*job);
  std::vector<TSweepEntry> entries;
  for (uint64_t ref : jobRefs) entries.push_back(TSweepEntry{ref, std::nullopt});
  StartSweep(threads, std::move(entries));
}

void ConversionProgress(TConversionThreads& threads, TEncItem& job, TConvertThread& /*worker*/,
                        int32_t percent) {
  VANTOREL_ASSERT_OWNER(threads.Owner());
  int row = JobRow(job);
  if (row >= 0) job.Grid->SetProgress(row, static_cast<double>(percent));
}

void ConversionDone(TConversionThreads& threads, TEncItem& job, TConvertThread& worker) {
  VANTOREL_ASSERT_OWNER(threads.Owner());
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
    if (worker.OutFile == job.OutputFile) job.OutputReserved = false;  // a finished output now
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

TConversionThreads::TConversionThreads(std::shared_ptr<platform::CallQueue> owner)
    : state_(std::make_unique<TState>()) {
  state_->owner = std::move(owner);
}

TConversionThreads::~TConversionThreads() {
  TState& st = *state_;
  VANTOREL_ASSERT_OWNER(st.owner);
  st.stopping = true;
  // A sweep may be waiting for this thread: its queue runs until they all end
  // (each one now starts nothing more).
  if (st.owner->IsBaseThread())
    platform::PumpUntil(
        *st.owner, [&] { return st.sweeps.AllDone(); }, std::chrono::hours(1));
  st.sweeps.StopAndJoin();
  // Conversions still running end here; their jobs keep an empty converter.
  while (!st.running.empty()) (*st.running.begin())->LetGo();
  // A worker may be inside a report, waiting for this thread to run it (as a
  // no-op now that it is detached): joining without running the queue would
  // wait for ever. Killed workers end within moments.
  if (st.owner->IsBaseThread())
    platform::PumpUntil(
        *st.owner, [&] { return st.retired.AllDone(); }, std::chrono::seconds(30));
  st.retired.StopAndJoin();
}

const std::shared_ptr<platform::CallQueue>& TConversionThreads::Owner() const {
  return state_->owner;
}

void TConversionThreads::Launch(std::function<void()> task) {
  state_->sweeps.Launch(std::move(task));
}

bool TConversionThreads::WaitForSweeps(std::chrono::milliseconds timeout) {
  VANTOREL_ASSERT_OWNER(state_->owner);
  bool done = platform::PumpUntil(
      *state_->owner, [this] { return state_->sweeps.AllDone(); }, timeout);
  state_->sweeps.ReapEnded();
  return done;
}

size_t PendingRetiredConversions() {
  return g_retiring.load();
}
