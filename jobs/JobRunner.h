#pragma once
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "jobs/EncItem.h"

class TclMultiDownLoader;
class TclResourceStateItem;

// Runs the jobs: owns the download manager, prepares a run from every job's
// mode (output names and files, download items, states), follows the
// downloads to their end, hands finished downloads to the conversion sweeps,
// stops jobs and tells whether anything still runs. It reaches the table only
// through IJobGrid (the jobs' rows) and decides every job state of a run; the
// window only shows and asks.
//
// Created on its owner thread (the GUI thread in the program), which must keep
// draining its platform::CallQueue: the download manager and the conversion
// workers report there, and every member is called there.
class TJobRunner {
 public:
  // jobs gives the job list (entry i is row i of the table); it may return
  // null until the list exists.
  explicit TJobRunner(std::function<TJobList*()> jobs);
  // Stops every download silently; no job is touched afterwards.
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

 private:
  // JobList index of the job whose download is item, or -1.
  int DownloadJobIndex(const TclDownLoadItem* item) const;

  std::function<TJobList*()> jobs_;
  std::unique_ptr<TclMultiDownLoader> downLoader_;
  // Items of this run whose data phase has begun: only their segment tables
  // speak for the file.
  std::unordered_set<const TclDownLoadItem*> dataPhase_;
};

// Why a completed download gave no usable file; empty when it gave one.
std::string DownloadFailure(TclDownLoadItem& item);
