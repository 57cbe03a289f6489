#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace platform {
class CallQueue;
class TProcess;
}  // namespace platform

// Runs one stream copy of the encoder adapter on its own thread: a video and an
// audio file merged into one file, or an HLS playlist fetched into a file, both
// without re-encoding (cvtcore -merge / -fetch, see docs/cvtcore.md). Reports
// are posted to the given queue (the job layer's owner thread) and never wait
// for it, so the worker never blocks on that thread.
class TStreamCopy {
 public:
  // What one run ended with.
  struct TResult {
    bool Ok = false;
    int ExitCode = -1;
    std::string Reason;  // the encoder's last error lines when not Ok
  };

  // video + audio → output.
  static std::vector<std::string> MergeArguments(const std::string& video, const std::string& audio,
                                                 const std::string& output);
  // An http/https playlist → output, each request sending headers.
  static std::vector<std::string> FetchArguments(const std::string& address,
                                                 const std::vector<std::pair<std::string, std::string>>& headers,
                                                 const std::string& output);

  // arguments: from the functions above. environment: changes to the encoder's
  // environment ("NAME=VALUE"), where a fetch's proxy goes so that no password
  // shows on a command line.
  TStreamCopy(std::vector<std::string> arguments, std::vector<std::string> environment,
              std::shared_ptr<platform::CallQueue> reportQueue);
  // Report queue's thread: ends the encoder at once and joins the thread; no
  // report runs afterwards.
  ~TStreamCopy();
  TStreamCopy(const TStreamCopy&) = delete;
  TStreamCopy& operator=(const TStreamCopy&) = delete;

  // Set before Start; they run on the report queue's thread. Progress: the
  // position reached and the input's running time (0 until the encoder names it),
  // in seconds.
  std::function<void(double position, double duration)> OnProgress;
  std::function<void(const TResult&)> OnDone;

  void Start();
  // Any thread: ends the encoder (and its group) without waiting; OnDone and
  // OnProgress do not run any more.
  void Stop();
  // True until the worker's thread has finished.
  bool Running() const { return started_ && !finished_; }

 private:
  void Execute();
  void Post(std::function<void()> fn);

  std::vector<std::string> arguments_;
  std::vector<std::string> environment_;
  std::shared_ptr<platform::CallQueue> queue_;
  // Cleared by Stop and the destructor: posted reports that run later do nothing.
  std::shared_ptr<std::atomic<bool>> live_ = std::make_shared<std::atomic<bool>>(true);
  std::mutex procMutex_;
  platform::TProcess* proc_ = nullptr;  // while the encoder runs
  std::atomic<bool> stop_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};
