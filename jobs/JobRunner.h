#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "jobs/EncItem.h"
#include "resolve/Resolver.h"

struct TRefreshedAddress;
class TResolveService;
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
  // What a downloading job without an engine item does: its HLS fetch or its
  // pair's merge runs, or the fetch waits for its turn (None: neither).
  enum class TStreamStage { None, Waiting, Fetching, Merging };
  TStreamStage StreamStage(const TEncItem& job) const;
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

  // The manager's refused-address report: the job's link is read again by the
  // resolver service, and the address of the job's quality there goes to the
  // item (and becomes the job's StreamUrl) back on this thread.
  void RefreshDownloadAddress(TclDownLoadItem* item);
  // Runs the owner's queue until every page fetch of a refresh has ended and
  // its answer has run. False when time ran out.
  bool WaitForAddressRefreshes(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // The link reading of new jobs. job (in the list, a link) goes to
  // jsReading and its link to the resolver service; when the answer comes,
  // back on this thread, it fills the job (ApplyResolution) and done is told
  // whether the job is usable now, with the answer (its reason when not). A job
  // that is removed (or left jsReading) meanwhile, or a runner that is gone,
  // drops the answer. Start leaves reading jobs out of the run. A playlist's
  // answer (answer.Playlist: its entries) leaves the job as it is, not ok.
  // wholePlaylist: a link naming a video and its playlist is read as the playlist.
  using TLinkRead =
      std::function<void(TEncItem& job, bool ok, const resolve::TResolvedJob& answer)>;
  void ReadLink(TEncItem& job, TLinkRead done, bool wholePlaylist = false);
  // The job's reading ends now: its connection is closed, its answer dropped.
  void CancelLinkRead(const TEncItem& job);
  // Every reading ends (the window closes).
  void CancelLinkReads();
  // Jobs whose link is being read or waits to be.
  int ReadingLinks() const { return static_cast<int>(readings_.size()); }
  // The service that reads links (tests shorten its limits).
  TResolveService& Resolver() { return *resolver_; }

 private:
  // A new address (or why there is none) for the job's item, back on the owner thread.
  void TakeRefreshedAddress(uint64_t ref, TclDownLoadItem* item, int refreshes,
                            const TRefreshedAddress& result);
  // Reading jobs: job reference -> the service's ticket.
  std::map<uint64_t, uint64_t> readings_;
  // Tickets of address refreshes whose answer has not run.
  std::set<uint64_t> refreshes_;

  // JobList index of the job whose download is item, or -1.
  int DownloadJobIndex(const TclDownLoadItem* item) const;
  // The job's media file is whole: converted next (Download&Convert) or done.
  void MediaFileReady(TEncItem& job);

  std::function<TJobList*()> jobs_;
  std::shared_ptr<platform::CallQueue> owner_;
  // Declared before the manager, so downloads are stopped first.
  std::unique_ptr<TConversionThreads> conversions_;
  std::unique_ptr<TclMultiDownLoader> downLoader_;
  // Its answers reach the downloads and the jobs: it goes first.
  std::unique_ptr<TResolveService> resolver_;
  // Pairs and HLS playlists; their merges and fetches end before the manager goes.
  std::unique_ptr<TStreamJobs> streams_;
  // Items of this run whose data phase has begun: only their segment tables
  // speak for the file.
  std::unordered_set<const TclDownLoadItem*> dataPhase_;
};

// Why a completed download gave no usable file; empty when it gave one.
std::string DownloadFailure(TclDownLoadItem& item);
