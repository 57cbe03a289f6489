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

#include "download/clBufferPool.h"
#include "download/clConnection.h"
#include "download/clDcUtils.h"
#include "download/clHttpUtils.h"
#include "download/clStreams.h"
#include "download/clSyncUtils.h"
#include "platform/Events.h"

// Codes of the download path's own failures (the platform's are positive).
constexpr int kErrorOperationInProgress = -1;
constexpr int kErrorRangeIgnored = -2;     // a ranged request got the whole resource
constexpr int kErrorResourceChanged = -3;  // the server now serves another version

// HTTP answers that mean the address itself is no longer honoured (a signed
// stream address past its expiry), not that the attempt failed.
inline bool IsExpiredAddressStatus(int status) {
  return status == 403 || status == 410;
}

// A worker thread that owns itself: created (suspended) and configured on the owner
// thread (the base thread of the owner queue it is given), started with Resume(),
// it keeps itself alive until its body and its termination notice are done.
// Callbacks reach the owner thread through the worker's synchronizer, and the
// worker waits for each. Its thread lives in the process's set of download
// workers, which stops and joins the ones still running at process exit.
class TclCustomThreader : public std::enable_shared_from_this<TclCustomThreader> {
 public:
  explicit TclCustomThreader(std::shared_ptr<platform::CallQueue> owner);
  virtual ~TclCustomThreader();
  TclCustomThreader(const TclCustomThreader&) = delete;
  TclCustomThreader& operator=(const TclCustomThreader&) = delete;

  // Owner thread: starts the thread (once).
  void Resume();
  // Any thread: sets the terminated flag, ends a pause at once and cancels the
  // current network call.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }

  TclProcessStatus Status() const { return status_.load(); }
  std::string LastError() const;
  int LastErrorCode() const;

  TclProcessPriority Priority = ppNormal;

  // Owner thread, once the worker's body has ended.
  std::function<void(TclCustomThreader* sender)> OnTerminate;
  std::function<void(TclCustomThreader* sender, TclProcessStatus status)> OnStatusChanged;
  std::function<void(TclCustomThreader* sender, const std::string& error, int code)> OnError;

  // Live worker threads of the process (diagnostics and tests).
  static int LiveCount();
  // Test seam: runs before each worker thread is created; an exception it raises
  // stands for a thread that could not be created. nullptr removes it.
  static void SetLaunchHook(std::function<void()> hook);

 protected:
  virtual void Execute() = 0;
  // Delivers a status change to the owner thread (only when it differs).
  void SetStatus(TclProcessStatus status);
  // Records an error and delivers it; nothing when terminated. An empty text takes
  // the platform's text of its last error code.
  void RecordError(const std::string& text, const std::string& extra, int code);
  void Synchronize(const std::function<void()>& method);
  // Queues a callback without waiting for it (see TclThreadSynchronizer::Post).
  void Post(std::function<void()> method, bool more = false);
  void PostQuietly(std::function<void()> method);
  void Flush();
  void WakeOwner();
  size_t PostsInFlight() const;
  // How many posted callbacks may be in flight (TclThreadSynchronizer::SetPostDepth).
  void SetPostDepth(size_t depth);
  // The connection whose current call Terminate cancels.
  void SetCancelTarget(std::shared_ptr<TclInternetConnection> connection);

  platform::AutoResetEvent stopEvent_;

 private:
  void Run();

  TclThreadSynchronizer synchronizer_;
  std::atomic<bool> terminated_{false};
  std::atomic<TclProcessStatus> status_{psUnknown};
  bool resumed_ = false;
  mutable std::mutex lock_;  // error fields and the cancel target
  std::string lastError_;
  int lastErrorCode_ = 0;
  std::shared_ptr<TclInternetConnection> cancelTarget_;
};

// One network transfer of an item: the probe (resource information only) or one
// data segment written into the item's shared stream at its offset.
class TclDownLoadThreader : public TclCustomThreader {
 public:
  // Owner thread. stream is null for a probe. Use Create: the worker must be
  // owned by a shared_ptr.
  static std::shared_ptr<TclDownLoadThreader> Create(const std::string& url, bool isGetResourceInfo,
                                                     std::shared_ptr<TclStream> dataStream,
                                                     std::shared_ptr<platform::CallQueue> owner);

  // Settings, set on the owner thread before Resume.
  int TryCount = 5;
  int BatchSize = 8192;
  int TimeOut = 5000;
  int ReconnectAfter = 5000;
  std::string InternetAgent = net::kDownloadUserAgent;
  std::string ProxyBypass;
  TclHttpProxySettings HttpProxySettings;
  TclFtpProxySettings FtpProxySettings;
  TclCertificateFlags CertificateFlags = 0;
  bool UseInternetErrorDialog = false;
  bool KeepConnection = false;
  bool PassiveFTPMode = false;
  bool DoNotGetResourceInfo = false;
  bool AllowCompression = true;
  std::vector<std::string> RequestHeaders;
  // Off: OnDataItemProceed gets no bytes (data is null), so a chunk is free
  // again once written, and the blocks written meanwhile are reported together
  // by one call that is queued at a time; the worker never waits for the owner
  // thread to take a report, which is woken at most once per kReportGap for a
  // stream of data (and before a wait for the network).
  bool ReportBlockData = true;
  // > 0: no data request asks for more bytes than this; a longer span is fetched
  // as consecutive ranges (some servers throttle larger requests). Known spans only.
  int64_t ChunkLimit = 0;
  std::shared_ptr<std::mutex> DataLock;  // the item's write lock
  // A 403 or 410 ends the worker at once (no further attempts) with
  // AddressExpired set, for an owner that can get a new address.
  bool EndOnExpiredAddress = false;
  // Which address of the item the worker was started with (the item's count).
  int AddressGeneration = 0;
  // A shared connection (kept connection); otherwise the worker makes its own.
  std::shared_ptr<TclInternetConnection> Connection;
  // Start position and span; remainingLength -1 = unknown.
  void SetRange(int64_t startPosition, int64_t remainingLength);
  // The item's information: the worker then only checks the server still answers,
  // and holds every data response to it.
  void SetResourceInfo(const TclResourceInfo& info);
  // A URL already parsed by another worker of the item.
  void SetUrlParser(const TclUrlParser& parser);

  // Any thread, while the worker runs (a data worker with a known span): moves the
  // span's end back to end, or to what is already written when that lies further.
  // Returns the end that holds. The worker reads its end under DataLock before every
  // read and writes nothing past it, so a byte beyond it goes to the file only from
  // whoever takes it over.
  int64_t ShrinkSpan(int64_t end);
  // The end of the span as it stands, and the bytes of it not yet written (-1 both
  // when its length is unknown); DataLock taken here.
  int64_t SpanEnd() const;
  int64_t SpanLeft() const;
  // Any thread: the current network call fails (a failed attempt, tried again as
  // any other), for a connection that has stopped bringing data.
  void AbortAttempt();

  // Callbacks (owner thread; the worker waits for each, except for
  // OnDataItemProceed, whose reports are posted: see ReportBlockData).
  std::function<void(TclDownLoadThreader* sender, const TclResourceInfo* info)> OnGetResourceInfo;
  std::function<void(TclDownLoadThreader* sender, wininet::URL_COMPONENTS& components)>
      OnUrlParsing;
  std::function<void(TclDownLoadThreader* sender, const TclResourceInfo* info, int64_t position,
                     const char* data, int size)>
      OnDataItemProceed;

  // Readable on the owner thread from OnTerminate on.
  const std::string& Url() const { return url_; }
  const TclUrlParser& UrlParser() const { return parser_; }
  const std::vector<std::string>& ResponseHeaders() const { return responseHeaders_; }
  int64_t StartPosition() const { return startPosition_; }
  int64_t BytesReceived() const { return bytesReceived_; }
  bool IsGetResourceInfo() const { return isGetResourceInfo_; }
  // The server answered a ranged request with the whole resource.
  bool RangeIgnored() const { return rangeIgnored_; }
  // The server's version of the resource differs from the probed one.
  bool ResourceChanged() const { return resourceChanged_; }
  // Ended on a 403 or 410 with EndOnExpiredAddress set (that status, else 0); no
  // error was recorded.
  bool AddressExpired() const { return expiredStatus_ != 0; }
  int ExpiredStatus() const { return expiredStatus_; }

 protected:
  TclDownLoadThreader(const std::string& url, bool isGetResourceInfo,
                      std::shared_ptr<TclStream> dataStream,
                      std::shared_ptr<platform::CallQueue> owner);
  void Execute() override;

 private:
  struct TAttempt;
  void DoAttempt();
  void HttpTransfer(TAttempt& a);
  void GetResourceInfo(TAttempt& a);
  // One ranged GET of the span's next part and its read (clRangeChunks.cpp).
  void DataRequest(TAttempt& a);
  // Bytes the current request may still bring past pending unwritten ones; -1 for
  // no limit of its own.
  int64_t RequestLeft(size_t pending) const;
  void AddHeaders(TclHttpOpenRequestAction& request);
  void AddRangeHeader(TclHttpOpenRequestAction& request);
  void SendRequest(TclHttpOpenRequestAction& request);
  void SendWithRetries(TclHttpOpenRequestAction& request);
  bool HandleSendError(TclHttpOpenRequestAction& request, int code);
  void CheckStatus(TclHttpOpenRequestAction& request);
  void CheckDataResponse(TclHttpOpenRequestAction& request);
  void ReadResponseInfo(TclHttpOpenRequestAction& request);
  void ReadLoop(TclHttpOpenRequestAction& request);
  TclResourceInfo& OwnInfo();
  // Bytes of the span still to come; -1 when its length is unknown. DataLock held.
  int64_t SpanLeftLocked() const;
  const TclResourceInfo* Info() const;
  wininet::DWORD RequestFlags(bool allowCacheWrite) const;

  std::string url_;
  TclUrlParser parser_;
  bool isGetResourceInfo_;
  std::shared_ptr<TclStream> dataStream_;
  // The span: [spanStart_, spanStart_ + remainingLength_), of which bytesReceived_
  // are written up to startPosition_. Under DataLock once the worker runs, since
  // the owner may move the end back (ShrinkSpan). The end is also atomic so that
  // the read loop can look at it without waiting behind another worker's write.
  int64_t startPosition_ = 0;
  std::atomic<int64_t> remainingLength_{-1};
  int64_t spanStart_ = 0;
  int64_t bytesReceived_ = 0;
  bool spanKnown_ = false;  // remainingLength_ >= 0, fixed before the worker starts
  int64_t requestEnd_ = -1;  // with ChunkLimit: where the current request's range ends
  int lastAttemptError_ = 0;
  bool errorRecorded_ = false;
  bool rangeIgnored_ = false;
  bool resourceChanged_ = false;
  int expiredStatus_ = 0;
  int statusCode_ = 0;
  std::vector<std::string> responseHeaders_;
  std::unique_ptr<TclResourceInfo> ownInfo_;
  std::unique_ptr<TclResourceInfo> sharedInfo_;  // a copy of the item's
  std::shared_ptr<TclInternetConnection> ownConnection_;
  std::mutex attemptLock_;  // attemptConnection_
  std::shared_ptr<TclInternetConnection> attemptConnection_;
  // Blocks that arrive without a wait for the network are gathered in a chunk,
  // written with one call and reported with one owner-thread call that runs the
  // per-block callbacks in order. One chunk fills, a spare takes what a read
  // brings past it, and up to kReportDepth are in posted reports (the owner
  // thread is often slower to get a core than a chunk is to fill, and a worker
  // that waited for it would sleep once per chunk). The next chunk to fill is
  // the one reported last: its bytes are the likeliest to be still in the
  // processor's cache (a ring through all of them cost more in copies than
  // its fewer waits saved).
  struct TBlock {
    int64_t position = 0;  // the stream position after the block
    size_t offset = 0;     // in the chunk's data
    int size = 0;
  };
  struct TChunk {
    TChunk() = default;
    TChunk(const TChunk&) = delete;
    TChunk& operator=(const TChunk&) = delete;
    ~TChunk();                // data goes back to the pool for the next worker
    bufpool::TRawBuffer data;  // from that pool: what a worker before left in it
    size_t used = 0;
    std::vector<TBlock> blocks;
  };
  // `soon`: the read loop reads on at once, or after a wait of at most
  // kOwnWaitMs (see TclThreadSynchronizer::Post). Afterwards filling_ is an
  // empty chunk.
  void CommitChunk(bool soon = false);
  void ReportChunk(TChunk& chunk);
  // Without ReportBlockData.
  void QueueReport(const std::vector<TBlock>& blocks, bool soon);
  void ReportPending();  // owner thread: the blocks written since the last call
  static constexpr int kReportDepth = 3;
  static constexpr int kChunkCount = kReportDepth + 2;
  TChunk chunks_[kChunkCount];
  int filling_ = 0;
  int spare_ = 1;
  std::vector<int> free_;      // neither filling, spare nor reported; the last reported on top
  std::deque<int> reporting_;  // in posted reports, oldest first
  // Without ReportBlockData: blocks written and not yet reported (offsets
  // unused), and whether a call that reports them is queued and not yet begun.
  std::mutex pendingLock_;
  std::vector<TBlock> pending_;
  bool pendingQueued_ = false;
  std::vector<TBlock> draining_;  // owner thread
  std::chrono::steady_clock::time_point lastWake_;
  const TclResourceInfo* chunkInfo_ = nullptr;
};
