#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/clConnection.h"
#include "download/clDcUtils.h"
#include "download/clHttpUtils.h"
#include "download/clMultiDC.h"
#include "download/clSavedDownload.h"
#include "download/clStreams.h"
#include "download/clWorkSteal.h"
#include "platform/CallQueue.h"
#include "platform/Events.h"
#include "platform/Files.h"

class TclMultiDownLoader;
class TclDownLoadList;

namespace workfile {
// Sets a file's access and modification time; std::system_error when it cannot.
void SetFileTimes(const std::string& path, std::chrono::system_clock::time_point when);
// Test seam: runs on the file thread before each block of an inflate. Empty removes it.
void SetInflateHook(std::function<void()> hook);
}  // namespace workfile

// Optional request object of an item: its text goes after "?" in the URL and its
// header lines are sent with every request.
struct TclHttpRequest {
  std::string RequestText;
  std::vector<std::string> HeaderLines;
};

// One URL and its local file. All of it runs on the manager's owner thread; the
// workers reach it through their callbacks.
class TclDownLoadItem {
 public:
  explicit TclDownLoadItem(TclDownLoadList* collection);
  // A running item is stopped and waited for first.
  ~TclDownLoadItem();
  TclDownLoadItem(const TclDownLoadItem&) = delete;
  TclDownLoadItem& operator=(const TclDownLoadItem&) = delete;

  const std::string& URL() const { return url_; }
  void SetURL(const std::string& value);
  const std::string& LocalFile() const { return localFile_; }
  void SetLocalFile(const std::string& value);
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& value);
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value);
  int Port() const { return port_; }
  void SetPort(int value);
  int ThreadCount() const { return threadCount_; }
  void SetThreadCount(int value);  // 1 to 10; other values ignored
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool value) { keepConnection_ = value; }
  TclProcessPriority Priority() const { return priority_; }
  void SetPriority(TclProcessPriority value) { priority_ = value; }
  TclCertificateFlags CertificateFlags() const { return certificateFlags_; }
  void SetCertificateFlags(TclCertificateFlags value) { certificateFlags_ = value; }
  bool UseHttpRequest() const { return useHttpRequest_; }
  void SetUseHttpRequest(bool value) { useHttpRequest_ = value; }
  const std::shared_ptr<TclHttpRequest>& HttpRequest() const { return httpRequest_; }
  void SetHttpRequest(std::shared_ptr<TclHttpRequest> value);
  // > 0: no request asks for more bytes than this (see TclDownLoadThreader::ChunkLimit).
  int64_t ChunkLimit() const { return chunkLimit_; }
  void SetChunkLimit(int64_t value) { chunkLimit_ = value > 0 ? value : 0; }
  bool AllowCompression() const { return allowCompression_; }
  void SetAllowCompression(bool value) { allowCompression_ = value; }

  // The item's status: psFailed when the resource could not be fetched whole.
  TclProcessStatus Status() const { return status_; }
  const TclResourceInfo* ResourceInfo() const { return resourceInfo_.get(); }
  TclResourceStateList* ResourceState() { return &resourceState_; }
  const TclErrorList& Errors() const { return errors_; }
  const std::vector<std::string>& ResponseHeaders() const { return responseHeaders_; }
  const std::vector<std::string>& PreviewLines() const { return previewLines_; }
  // Also while the item waits for a new address (no worker runs then).
  bool IsRunning() const {
    return !workers_.empty() || awaitingAddress_ || sizing_ || inflating_ != nullptr;
  }
  // Answers to the manager's OnAddressExpired, on the owner thread, at any time
  // later: go on at a new address (probed first; the segments continue when it
  // serves the same resource, else the file starts again from zero), or end the
  // item failed with the text. Ignored when the item does not wait for one.
  void ContinueWithAddress(const std::string& url);
  void FailAddressRefresh(const std::string& error);
  bool AwaitingAddress() const { return awaitingAddress_; }
  // New addresses taken in this run.
  int AddressRefreshes() const { return refreshes_; }
  // The data stream while the item runs (null otherwise); a caller may supply one
  // instead of LocalFile.
  TclStream* DataStream() const { return dataStream_.get(); }
  void SetDataStream(std::shared_ptr<TclStream> stream);
  TclMultiDownLoader* Control() const;
  int Index() const;

  // The next Start continues that download in place when the probe reports the
  // same resource (size, ETag, Last-Modified) and the file still has the
  // resource's size: each unfinished segment from where it got, finished ones
  // not at all. Otherwise it downloads from the start into the same file and
  // ContinueRefusal says why. Only the next data phase uses it.
  void SetContinueFrom(TclSavedDownload saved);
  // Why the last data phase began from zero although a saved download was
  // given; empty when it continued or had nothing to continue.
  const std::string& ContinueRefusal() const { return continueRefusal_; }
  // The file the segments are written to (LocalFile, or a work file beside it
  // for a compressed resource) and its identity (inode), kept after the run; a
  // download that starts from zero writes a new file, so the identity changes.
  const std::string& WorkFile() const { return workFile_; }
  uint64_t WorkFileId() const { return workFileId_; }

 private:
  friend class TclMultiDownLoader;
  struct THolder {
    std::shared_ptr<TclDownLoadThreader> worker;
    TclResourceStateItem* segment;
    worksteal::TPace pace{};  // data workers: recent speed, last data
  };

  void Start();
  void Stop();
  void Changed(bool resetRun);
  THolder* FindHolder(TclCustomThreader* worker);
  std::shared_ptr<TclDownLoadThreader> CreateWorker(TclResourceStateItem* segment, bool probe,
                                                    const TclUrlParser* parsed);
  // Creates and starts a worker; one that cannot start is recorded as a failed
  // worker and leaves no holder. False then.
  bool LaunchWorker(TclResourceStateItem* segment, bool probe, const TclUrlParser* parsed);
  // clWorkFile.cpp. The data stream once prepared (a memory stream when there is
  // no LocalFile).
  std::shared_ptr<TclStream> GetDataStream();
  // Opens the file kept from an earlier start, when it still is the one the
  // segments were written to (same identity and size), or else drops the
  // segments and creates a new one; sizes it; all on a file thread. Then next
  // runs on the owner thread, unless the file failed (the item fails) or the item
  // was stopped meanwhile: the data phase ends then. The item runs meanwhile.
  void PrepareDataFile(std::function<void()> next);
  void LayOutDataPhase();
  void DropWorkFile();  // removes our own work file beside LocalFile
  // Inflates the compressed answer's work file into LocalFile on a file thread
  // (a new file, synced, renamed over LocalFile, the work file removed), then
  // ends the run on the owner thread. Stop ends it at its next block.
  void InflateWorkFile();
  void EndRun();  // the last step of Complete
  void ForgetWorkFile();
  void DeleteSegments();
  bool CanProcess(bool checkFile);
  void EndOfProbe();
  void BeginDataPhase();
  // LocalFile, or the first name tried for a compressed resource's work file.
  std::string WorkFileName() const;
  // Empty when the saved download can be continued; otherwise why not.
  std::string CheckContinue(const TclSavedDownload& saved) const;
  void InstallSavedSegments(const TclSavedDownload& saved);
  // The saved download's file becomes the item's: continued in, or (when ours
  // and beside LocalFile) removed by the start from zero.
  void TakeSavedFile(const TclSavedDownload& saved);
  void FallBackToOneSegment();
  // A data worker ended well: a segment still waiting for a connection gets it, or
  // else it takes over the tail of the segment expected to finish last. True when
  // a worker was started.
  bool TakeOverWork(const TclDownLoadThreader* finished, const worksteal::TPace& pace);
  // Gives up the attempt of every data worker that brought nothing for the manager's
  // StallTimeOut while another (progressing) did.
  void CheckStalled(const TclDownLoadThreader* progressing);
  void MakePreview();
  void Complete();
  TclProcessStatus Overall() const;
  void UpdateStatus();
  void SetStatus(TclProcessStatus status);
  void AddError(const std::string& message, int code);

  void DoStatusChanged(TclCustomThreader* sender, TclProcessStatus status);
  void DoError(TclCustomThreader* sender, const std::string& error, int code);
  void DoGetResourceInfo(TclDownLoadThreader* sender, const TclResourceInfo* info);
  void DoUrlParsing(TclDownLoadThreader* sender, wininet::URL_COMPONENTS& components);
  void DoDataItemProceed(TclDownLoadThreader* sender, int64_t position, const char* data, int size);
  void DoTerminate(TclCustomThreader* sender);

  // Address refresh: a worker that met 403/410 ends at once and its segment
  // waits; one OnAddressExpired per episode, whatever the number of segments.
  void ResetAddressRefresh();
  bool TakeRefreshTermination(const THolder& holder);
  void BeginAddressEpisode(int status);
  void RefreshProbed(const TclDownLoadThreader& probe);
  void ResumeWaitingSegments();
  void RestartWithRefreshedResource();
  void EndRefreshFailed(const std::string& error, int code);
  void EndAddressWait();
  void FinishWhenIdle();

  TclDownLoadList* collection_;
  std::string url_, localFile_, userName_, password_;
  int port_ = 0;
  int threadCount_ = 5;
  bool keepConnection_ = false;
  TclProcessPriority priority_ = ppNormal;
  TclCertificateFlags certificateFlags_ = 0;
  bool useHttpRequest_ = false;
  std::shared_ptr<TclHttpRequest> httpRequest_;
  int64_t chunkLimit_ = 0;
  bool allowCompression_ = true;

  TclProcessStatus status_ = psUnknown;
  std::unique_ptr<TclResourceInfo> resourceInfo_;
  std::unique_ptr<TclResourceInfo> dataPhaseInfo_;  // the version the segments hold
  TclResourceStateList resourceState_;
  std::vector<THolder> workers_;
  TclErrorList errors_;
  std::vector<std::string> responseHeaders_, lastWorkerHeaders_;
  std::shared_ptr<TclStream> dataStream_;
  bool streamSupplied_ = false;
  std::string workFile_;
  uint64_t workFileId_ = 0;
  // Files a new one replaced, held open so that their inode numbers stay taken.
  std::vector<std::shared_ptr<TclFileStream>> replacedFiles_;
  bool probing_ = false, dataPhase_ = false, completing_ = false;
  bool sizing_ = false;  // the data file is being prepared (PrepareDataFile)
  std::shared_ptr<std::atomic<bool>> inflating_;  // set while inflating; true: cancel
  bool rangeIgnored_ = false, fallbackDone_ = false, resourceChanged_ = false;
  bool refused_ = false;
  bool stopping_ = false;  // Stop was called during this run: no new worker may start
  std::unique_ptr<TclSavedDownload> continueFrom_;
  std::string continueRefusal_;
  std::unique_ptr<TclUrlParser> probeParser_;
  std::shared_ptr<std::mutex> dataLock_ = std::make_shared<std::mutex>();
  std::vector<std::string> previewLines_;
  worksteal::TClock::time_point lastStallCheck_{};
  std::shared_ptr<TclInternetConnection> connection_;  // kept connection
  bool awaitingAddress_ = false;                       // OnAddressExpired raised, no answer yet
  bool restartPending_ = false;  // another resource: old workers end, then from zero
  bool bytesSinceRefresh_ = false;
  bool finishPosted_ = false;                             // a stop's end of the wait is queued
  std::shared_ptr<int> life_ = std::make_shared<int>(0);  // expires with the item
  int addressGeneration_ = 0, refreshes_ = 0, failedRefreshes_ = 0;
  std::shared_ptr<TclDownLoadThreader> refreshProbe_;  // probe of the new address
  std::unique_ptr<TclResourceInfo> refreshInfo_;       // what it found
  // Set while the item is idle; a synchronous start waits on it.
  std::shared_ptr<platform::ManualResetEvent> idle_ =
      std::make_shared<platform::ManualResetEvent>(true);
};

// The manager's items, owned.
class TclDownLoadList {
 public:
  explicit TclDownLoadList(TclMultiDownLoader* owner) : owner_(owner) {}
  ~TclDownLoadList() { Clear(); }
  TclDownLoadList(const TclDownLoadList&) = delete;
  TclDownLoadList& operator=(const TclDownLoadList&) = delete;

  // Appends an item whose LocalFile is the manager's LocalFolder with "/".
  TclDownLoadItem* Add();
  // Running items are stopped and waited for.
  void Clear();
  void Delete(int index);
  int Count() const { return static_cast<int>(items_.size()); }
  TclDownLoadItem* Items(int index) const { return items_.at(index).get(); }
  TclDownLoadItem* operator[](int index) const { return Items(index); }
  int IndexOf(const TclDownLoadItem* item) const;
  TclMultiDownLoader* Owner() const { return owner_; }

 private:
  TclMultiDownLoader* owner_;
  std::vector<std::unique_ptr<TclDownLoadItem>> items_;
};

// Runs several download items at once, queues the rest (first in, first out), and
// delivers every event on its owner thread: the base thread of the owner queue it
// is given, which must keep draining it. Everything but Start and Stop (which
// hand over to the owner thread) is called there.
class TclMultiDownLoader {
 public:
  explicit TclMultiDownLoader(std::shared_ptr<platform::CallQueue> owner);
  ~TclMultiDownLoader();
  TclMultiDownLoader(const TclMultiDownLoader&) = delete;
  TclMultiDownLoader& operator=(const TclMultiDownLoader&) = delete;

  // Settings whose setters ignore values out of range.
  int TryCount() const { return tryCount_; }
  void SetTryCount(int value);
  int TimeOut() const { return timeOut_; }
  void SetTimeOut(int value);
  int ReconnectAfter() const { return reconnectAfter_; }
  void SetReconnectAfter(int value);
  int BatchSize() const { return batchSize_; }
  void SetBatchSize(int value);
  int PreviewCharCount() const { return previewCharCount_; }
  void SetPreviewCharCount(int value);
  unsigned char DefaultChar() const { return defaultChar_; }
  void SetDefaultChar(unsigned char value);
  int64_t MinResourceSize() const { return minResourceSize_; }
  void SetMinResourceSize(int64_t value);
  int64_t MaxResourceSize() const { return maxResourceSize_; }
  void SetMaxResourceSize(int64_t value);
  int MaxStartedItems() const { return maxStartedItems_; }
  void SetMaxStartedItems(int value);
  const std::string& LocalFolder() const { return localFolder_; }
  // Re-targets every item's LocalFile to the folder (no file is moved).
  void SetLocalFolder(const std::string& value);

  // Plain settings.
  bool CorrectResourceTime = true;
  TclHttpProxySettings HttpProxySettings;
  TclFtpProxySettings FtpProxySettings;
  std::vector<std::string> ProxyBypass;
  std::string InternetAgent = net::kDownloadUserAgent;
  bool PassiveFTPMode = false;
  bool DoNotGetResourceInfo = false;
  bool UseInternetErrorDialog = false;
  // Off: OnDataItemProceed's data is null, and the workers never wait for this
  // thread to take their reports (TclDownLoadThreader::ReportBlockData). For
  // owners that only follow the progress.
  bool ReportBlockData = true;
  // A shared connection: every item uses it and downloads in one segment.
  std::shared_ptr<TclInternetConnection> Connection;
  int Tag = 0;  // the owner's
  // A data connection that brought nothing this long while another of its item did
  // fails its attempt (tried again as any other).
  std::chrono::milliseconds StallTimeOut{10000};
  // A finished connection takes over part of a running segment only when at least
  // this much of it is left.
  int64_t TakeOverMinimum = 256 * 1024;

  TclDownLoadList* DownLoadList() { return &downLoadList_; }
  const std::shared_ptr<platform::CallQueue>& OwnerQueue() const { return ownerQueue_; }

  // item null = every item in index order; an item that raises stops the loop.
  // Raises EclInternetError "Operation is in progress" (-1) for a running item.
  // A synchronous start waits for the item; on the owner thread it keeps running
  // the owner's queued calls meanwhile.
  void Start(TclDownLoadItem* item = nullptr, bool isAsync = true);
  // item null = every item. A waiting item leaves the queue silently.
  void Stop(TclDownLoadItem* item = nullptr);
  bool IsBusy() const { return busyCount_ > 0; }

  // Events, all on the owner thread.
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item,
                     TclResourceInfo* ResourceInfo, TclResourceStateItem* AStateItem,
                     const char* CurrentData, int CurrentDataSize)>
      OnDataItemProceed;
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item)> OnProcessCompleted;
  // Asked when an item ends, before OnProcessCompleted and before its place goes
  // to the queue: an item returned here (of this list, neither running nor
  // queued) starts at once in that place, so work that comes in steps (two
  // streams of one job) keeps one place. Null: the queue goes on as usual.
  std::function<TclDownLoadItem*(TclMultiDownLoader* Sender, TclDownLoadItem* Item)> OnFollowUp;
  // The data phase begins: the item's segments are laid out (continued or new)
  // and its file is sized; no data of this run has arrived yet.
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item)> OnDataPhaseBegin;
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item, TclProcessStatus Status)>
      OnStatusChanged;
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item,
                     TclResourceInfo* ResourceInfo)>
      OnGetResourceInfo;
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item, const std::string& Error,
                     int ErrorCode)>
      OnError;
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item,
                     const std::vector<std::string>& Text)>
      OnDataTextProceed;
  std::function<void(TclMultiDownLoader* Sender, const std::string& AFileName,
                     std::string& ANewName, TclFileExistsAction& Action)>
      OnFileExists;
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item)> OnChanged;
  std::function<void(TclMultiDownLoader* Sender)> OnIsBusyChanged;
  // The item's address was refused (HTTP 403 or 410): its workers wait, without
  // using up their attempts, until the handler answers with the item's
  // ContinueWithAddress or FailAddressRefresh (later, from the owner thread).
  // Raised once for all segments that meet it. Two answers in a row after which
  // no byte arrived before the next refusal end the item failed. Without a
  // handler a refusal is an ordinary failed attempt.
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item)> OnAddressExpired;
  std::function<void(TclMultiDownLoader* Sender, TclDownLoadItem* Item,
                     wininet::URL_COMPONENTS& URLComponents)>
      OnUrlParsing;

  // The proxy bypass list as one line for the transport.
  std::string ProxyBypassLine() const;

 private:
  friend class TclDownLoadItem;
  friend class TclDownLoadList;
  void StartItem(TclDownLoadItem* item, bool isAsync);
  void StopItem(TclDownLoadItem* item);
  void RemoveFromQueue(TclDownLoadItem* item);
  void ChangeBusy(int delta);
  void InternalDone(TclDownLoadItem* item);
  bool Silent() const { return destroying_; }

  int tryCount_ = 5;
  int timeOut_ = 5000;
  int reconnectAfter_ = 5000;
  int batchSize_ = 8192;
  int previewCharCount_ = 256;
  unsigned char defaultChar_ = 128;
  int64_t minResourceSize_ = 0;
  int64_t maxResourceSize_ = 0;
  int maxStartedItems_ = 5;
  std::string localFolder_;

  std::shared_ptr<platform::CallQueue> ownerQueue_;
  int busyCount_ = 0;
  int startedCount_ = 0;
  std::deque<TclDownLoadItem*> waiting_;
  bool destroying_ = false;
  TclDownLoadList downLoadList_{this};
};

namespace dlpath {
// A folder as the start of a path; an empty folder stays empty (a bare name).
inline std::string WithSlash(const std::string& folder) {
  return folder.empty() ? folder : platform::IncludeTrailingSlash(folder);
}
}  // namespace dlpath
