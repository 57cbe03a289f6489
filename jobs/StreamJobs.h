#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jobs/EncItem.h"
#include "jobs/JobRunner.h"

class TclDownLoadItem;
class TclMultiDownLoader;
class TStreamCopy;
namespace platform {
class CallQueue;
}

// The downloads of a job that are more than one engine stream: a video+audio
// pair (both streams fetched by the engine one after the other in the job's one
// place of the queue, then merged without re-encoding) and an HLS playlist
// (fetched by the encoder). Owned by the job runner, on its owner thread.
//
// Files of a pair with the media file F (reserved like any download): the video
// goes to "F.<format ids>.video", the audio to "F.<format ids>.audio", the merge
// writes F and then the two go. The job's MediaFile names the file being downloaded, so the journal's
// segment table and file checks hold for the stream under way; with MediaFile F
// and both parts present only the merge is left.
class TStreamJobs {
 public:
  // mediaReady: the job's media file is whole (the runner converts it or ends
  // the job as after any download).
  // jobOf: the job whose item it is (or null).
  TStreamJobs(std::shared_ptr<platform::CallQueue> owner, TclMultiDownLoader& manager,
              std::function<TEncItem*(const TclDownLoadItem*)> jobOf,
              std::function<void(TEncItem&)> mediaReady);
  // Ends running merges and fetches (their partial output goes); no job is touched.
  ~TStreamJobs();
  TStreamJobs(const TStreamJobs&) = delete;
  TStreamJobs& operator=(const TStreamJobs&) = delete;

  // A pair or an HLS playlist: the job's download goes through here.
  static bool Handles(const TQuality& quality);

  // Start of a run: the job's files and, for a stream of the engine, its item
  // (added to the manager's list, not started; null for a merge or fetch, which
  // begins with StartPending). *reserved: a new media file was reserved. Throws
  // std::runtime_error when the job cannot get its files.
  TclDownLoadItem* Prepare(TEncItem& job, bool* reserved);
  // A run that does not start after all: a prepared merge or fetch is dropped,
  // and with reserved the empty files Prepare made for the job go.
  void Forget(TEncItem& job, bool reserved);
  // After the run has started: the prepared merges begin, and playlist fetches
  // up to the manager's number of downloads at a time (the others wait their turn).
  void StartPending();

  // The manager's follow-up question: the video of a pair came whole, so its
  // audio item (which takes the video's place) is returned and becomes the
  // job's item. Null for anything else.
  TclDownLoadItem* FollowUp(TclDownLoadItem* ended);
  // The audio of a pair came whole: the merge begins (the job stays
  // Downloading). False when the job is no pair at its audio stage.
  bool AudioCame(TEncItem& job);

  // The stream the job's engine item fetches now (a pair's audio at its audio
  // stage): the one a refreshed address belongs to.
  static const TLink& CurrentStream(const TEncItem& job);

  // Why a download the engine ended whole still leaves the job's media file
  // unfinished (a pair whose audio could not begin); empty otherwise.
  static std::string Unfinished(const TEncItem& job);

  // The job's percentage for bytes of size of its current engine stream.
  double Progress(const TEncItem& job, int64_t bytes, int64_t size) const;

  // Ends the job's merge or fetch; its partial output goes. False when none runs.
  bool Stop(TEncItem& job);
  // A merge or fetch runs or waits to begin.
  bool Busy() const;
  // The job's merge or fetch: running, waiting to begin, or none.
  TJobRunner::TStreamStage Stage(const TEncItem& job) const;

 private:
  struct TRun;
  void Begin(uint64_t ref);
  void Ended(uint64_t ref, bool ok, std::string reason);
  void Reap();

  std::shared_ptr<platform::CallQueue> owner_;
  TclMultiDownLoader& manager_;
  std::function<TEncItem*(const TclDownLoadItem*)> jobOf_;
  std::function<void(TEncItem&)> mediaReady_;
  std::map<uint64_t, std::unique_ptr<TRun>> runs_;  // by job reference
  std::map<uint64_t, std::unique_ptr<TRun>> done_;  // ended, freed at the next call
  uint64_t prepared_ = 0;
};
