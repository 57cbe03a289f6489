#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "convert/CnvtSettings.h"

namespace platform {
class CallQueue;
}
class TEncItem;
class TConvertThread;

// Joins a job to its conversion: names and reserves the output file, creates
// the job's conversion worker and starts it; the worker's reports move the
// job's row and decide its final state.
//
// The job owns its running conversion (TEncItem::Converter). Stopping the job
// (StopJobConversion) or freeing it (RemoveJobAt) ends the encoder at once and
// no report reaches the job afterwards; the worker itself is freed on a thread
// of its conversion threads' set once its thread has ended.

// The threads behind one owner's conversions (the job runner's): its start
// sweeps and the threads that free the workers its jobs let go, with the owner
// queue the workers report to. Created, used and destroyed on the owner thread.
// The destructor stops what it started: running sweeps start nothing more and
// are waited for (the owner's queue runs meanwhile), running conversions are
// ended and their workers freed and joined. Jobs keep their state; no report
// reaches them afterwards.
class TConversionThreads {
 public:
  explicit TConversionThreads(std::shared_ptr<platform::CallQueue> owner);
  ~TConversionThreads();
  TConversionThreads(const TConversionThreads&) = delete;
  TConversionThreads& operator=(const TConversionThreads&) = delete;

  const std::shared_ptr<platform::CallQueue>& Owner() const;

  // Runs a short task of the owner's (a running-time read) on a thread of the
  // set, where sweeps run too: waited for like them. The task must not use the
  // set's jobs but through the owner queue. Throws std::system_error when no
  // thread can be created.
  void Launch(std::function<void()> task);

  // Waits, running the owner's queue, until every sweep (and task) started so
  // far has ended. True when they all did.
  bool WaitForSweeps(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  struct TState;  // Conversion.cpp's
  TState& State() { return *state_; }

 private:
  std::unique_ptr<TState> state_;
};

// The first free path in UniquePath's order (path, base0.ext, base1.ext, ...),
// created empty and exclusively at once, so no two outputs of any kind (a
// download, a conversion) ever pick the same file. Anything already there (a
// folder too) is passed over. Every candidate's name is cut to the longest a
// file may have (keeping the number and the extension). Throws
// std::system_error when nothing can be created, a zero byte is in path, or
// kMaxOutputCandidates numbered names are all taken.
//
// One exception: a reservation the previous run made but its journal never
// recorded (a kill came between the two) is taken over, not passed over (see
// SetUnrecordedReservationWindow).
constexpr int kMaxOutputCandidates = 10000;
std::string ReserveOutputFile(const std::string& path);

// A kill between a reservation and the journal's next commit leaves an empty
// file that no restored job knows: its restart would take a numbered name and
// leave the empty one behind. Such a file changed after the previous run's
// last journal write (afterNs) and before this run read the journal
// (beforeNs), both in nanoseconds of the system clock. An empty regular file
// of ours from that window that no job uses is taken over by the next
// reservation of its name. Called once the journal is restored; 0 for
// afterNs (no journal file) takes nothing over. Main thread.
void SetUnrecordedReservationWindow(int64_t afterNs, int64_t beforeNs);

// Starts the conversion of one job that is in jsEncoding, with a copy of its
// settings. Owner thread. Settings that need no information pass start it here
// in one go; settings that leave audio values open hand it to a one-job sweep
// with these settings, so the information pass never holds this thread. Does
// nothing for a job that already converts, is being started by a sweep or has
// StopRequested. A conversion that cannot start (output file not creatable,
// encoder not executable) ends the job in jsConvertFailed with an "Error" note,
// and the notes are logged; it does not raise for that. An information pass
// that ran out of time adds a "Warning" note and a log entry. The Progress cell
// goes to 0 when the conversion is started.
void StartConversion(TConversionThreads& threads, TEncItem* job, const TCnvtSettings& settings);

// The start sweep: starts, on a thread of the set, the conversions of the
// given jobs. The runner starts all its conversions this way: StartRun with the
// jobs it put into jsEncoding (references taken before the downloads start),
// and the download completion handler with the one job whose download has just
// finished. Removed or stopped jobs, jobs that left jsEncoding and jobs that
// already convert are skipped, and a job never gets a second conversion.
// Called on the owner thread, where the Progress cells of the jobs it will start
// go to 0 at once. Returns at once. Jobs are only read and written on the owner
// thread; the information pass runs on the sweep.
void StartConversionSweep(TConversionThreads& threads, std::vector<uint64_t> jobRefs);

// The worker's percent report: the Progress cell of the job's row. Owner thread.
void ConversionProgress(TConversionThreads& threads, TEncItem& job, TConvertThread& worker,
                        int32_t percent);

// The worker's end report: the job's final state, the deletion of the source
// after a verified success, the notes and the log entry. Owner thread.
void ConversionDone(TConversionThreads& threads, TEncItem& job, TConvertThread& worker);

// The job's running worker, or null.
TConvertThread* JobConversionWorker(const TEncItem& job);

// Workers that were let go but whose thread has not ended yet, in every set of
// the process (tests).
size_t PendingRetiredConversions();
