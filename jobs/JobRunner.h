#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "jobs/EncItem.h"

struct TRefreshedAddress;
class TclMultiDownLoader;
class TclResourceStateItem;
class TConversionThreads;
class TStreamJobs;
namespace platform {
class CallQueue;
class TThreadSet;
}  // namespace platform

// Runs the jobs: owns the download manager, prepares a run from every job's
// mode (output names and files, download items, states), follows the
// downloads to their end, hands finished downloads to the conversion sweeps,
// stops jobs and tells whether anything still runs. It reaches the table only
// through IJobGrid (the jobs' rows) and decides every job state of a run; the
// window only shows and asks.
//
// It belongs to its owner thread, the base thread of the owner queue it is
// given (the GUI thread in the program), which must keep draining that
// platform::CallQueue: the download manager and the conversion workers report
// there, and every member is called there (checked in debug builds).
class TJobRunner {
 public:
  // jobs gives the job list (entry i is row i of the table); it may return
  // null until the list exists.
  TJobRunner(std::function<TJobList*()> jobs, std::shared_ptr<platform::CallQueue> owner);
  // Stops every download silently, then its start sweeps and conversions (see
  // TConversionThreads); no job is touched afterwards.
  ~TJobRunner();
  TJobRunner(const TJobRunner&) = delete;
  TJobRunner& operator=(const TJobRunner&) = delete;

  // The download manager. Its events are bound to DownloadProgress and
  // DownloadCompleted; an owner may rebind them to handlers that forward.
  TclMultiDownLoader& DownLoader() { return *downLoader_; }
  bool DownloadsBusy() const;
  // Stops one download item (Remove uses it before freeing the job).
  void StopDownload(TclDownLoadItem* item);

  // Called once a run is prepared, before its downloads and conversions start.
  std::function<void()> OnRunStarting;

  // Start: into OutputFolder, named by OutName, with cvOptions' proxy. Does
  // nothing while downloads run. Download jobs get an output file reserved
  // exclusively and a download item (jsDownloading); one with an unfinished
  // download (Resume) whose file still exists keeps that file and its item
  // continues there when the server still has the same resource. Convert Only jobs go to
  // jsEncoding (or jsStopped when a video preset has no video to work on) and
  // are handed to a start sweep. A job that cannot be prepared (no quality,
  // no file) logs the error and the run does not start. Errors are logged,
  // never raised.
  void StartRun();

  // The manager's report that a download's data phase begins: the job's
  // Resume takes the resource's identity and the segment table, and a saved
  // download that could not be continued leaves a "Warning" note.
  void DownloadDataPhaseBegan(TclDownLoadItem* item);
  // The manager's data report: the job's Progress cell and Resume's segments.
  void DownloadProgress(TclDownLoadItem* item, TclResourceStateItem* state);
  // The manager's end report: decides the job's state (stopped, failed with a
  // note, converted next, or done) and lets go of the item. Resume is kept
  // for an unfinished download and cleared once the file came whole.
  void DownloadCompleted(TclDownLoadItem* item);

  // Stops one job's download or conversion; other states are left alone.
  void StopJob(TEncItem* job);
  // Stops the job of every row, or of the selected rows only.
  void StopRows(IJobGrid& grid, bool selectedOnly);

  // True while any job downloads or converts (the running indicator's test).
  bool AnythingRunning() const;

  // The manager's refused-address report: the job's watch page is fetched
  // again off this thread, and the address of the job's quality there goes to
  // the item (and becomes the job's StreamUrl) back on this thread.
  void RefreshDownloadAddress(TclDownLoadItem* item);
  // Runs the owner's queue until every page fetch of a refresh has ended and
  // its answer has run. False when time ran out.
  bool WaitForAddressRefreshes(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  // A new address (or why there is none) for the job's item, back on the owner thread.
  void TakeRefreshedAddress(uint64_t ref, TclDownLoadItem* item, int refreshes,
                            const TRefreshedAddress& result);
  // Page fetches that answer after the runner is gone find this expired.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // Raised by the destructor: a fetch still running gives up.
  std::shared_ptr<std::atomic<bool>> cancelFetches_ = std::make_shared<std::atomic<bool>>(false);
  // The fetches; joined last, they post to the owner queue and touch nothing here.
  std::unique_ptr<platform::TThreadSet> pageFetches_;

  // JobList index of the job whose download is item, or -1.
  int DownloadJobIndex(const TclDownLoadItem* item) const;
  // The job's media file is whole: converted next (Download&Convert) or done.
  void MediaFileReady(TEncItem& job);

  std::function<TJobList*()> jobs_;
  std::shared_ptr<platform::CallQueue> owner_;
  // Declared before the manager, so downloads are stopped first.
  std::unique_ptr<TConversionThreads> conversions_;
  std::unique_ptr<TclMultiDownLoader> downLoader_;
  // Pairs and HLS playlists; declared last, so their merges and fetches end first.
  std::unique_ptr<TStreamJobs> streams_;
  // Items of this run whose data phase has begun: only their segment tables
  // speak for the file.
  std::unordered_set<const TclDownLoadItem*> dataPhase_;
};

// Why a completed download gave no usable file; empty when it gave one.
std::string DownloadFailure(TclDownLoadItem& item);
