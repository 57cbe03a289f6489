#pragma once
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "convert/CnvtSettings.h"
#include "convert/Tags.h"

namespace platform {
class CallQueue;
class TProcess;
}  // namespace platform

// The encoder could not be started: "Could not execute command line!" CR command line.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs the encoder for one job on a thread of its own and turns its console
// output into a percentage. Reports (OnProgress, OnDone) run on the report
// queue's thread — the main thread — while the worker waits for them.
//
// Life of a worker (all calls from the owner's thread unless noted):
//   construct (builds the command line; may run the information pass here and
//   throw EConvertError; it blocks for up to InformationPassLimit(), so never
//   construct one that needs it on the report queue's thread) → SetOnProgress/SetOnDone → Start →
//   reports … → Detach (no report runs after it returns) → destroy (ends the encoder at once and
//   joins the thread; pumps the report queue while joining when called on its thread, so a worker
//   blocked in a report cannot deadlock it).
// The fields below the events are written by the worker thread; read them in a
// report or after the thread has ended (Finished()).
class TConvertThread {
 public:
  using TProgressEvent = std::function<void(TConvertThread* sender, int32_t percent)>;
  using TDoneEvent = std::function<void(TConvertThread* sender)>;

  // reportQueue: the queue of the thread that runs the reports — the main
  // thread's, also when the worker is made on another thread (the start sweep).
  TConvertThread(const std::string& inFile, bool stopRequested, const TCnvtSettings& settings,
                 const std::string& outFile, std::shared_ptr<platform::CallQueue> reportQueue);
  ~TConvertThread();
  TConvertThread(const TConvertThread&) = delete;
  TConvertThread& operator=(const TConvertThread&) = delete;

  TProgressEvent OnProgress;
  TDoneEvent OnDone;
  std::atomic<bool> StopFlag{false};  // written by the owner, read by the worker
  std::string CommandLine;            // as shown and logged
  bool ProgressMode = false;
  std::string ResultText;
  int32_t Percent = 0;
  std::string InFile;
  std::string OutFile;
  // A conversion run failed: nothing recognised, the encoder exited with a code
  // other than 0, it could not be started, or the output file is missing or empty.
  bool ErrorFlag = false;
  std::string ConsoleOutput;

  // The argv the encoder really gets: built beside CommandLine, so every path
  // stays one argument whatever characters it holds.
  std::vector<std::string> Arguments;
  int ExitCode = -1;  // of the last encoder run; -1 when it did not run
  // Set when the information pass ran out of time and was ended (the defaults
  // took its place); the job layer puts it in the job's notes and the log.
  std::string InformationPassNote;

  // The audio builder runs the information pass for these settings.
  static bool NeedsInformationPass(const TCnvtSettings& settings);
  // Time the information pass may take (all threads; 30 s unless set).
  static void SetInformationPassLimit(std::chrono::milliseconds limit);
  static std::chrono::milliseconds InformationPassLimit();

  // Of the last progress line, for any thread: the encoder's speed as a multiple
  // of real time (0 = unknown), the position reached and the input's running
  // time in seconds.
  std::atomic<double> EncoderSpeed{0};
  std::atomic<double> EncoderPosition{0};
  std::atomic<double> EncoderDuration{0};

  // Set before Start: written into the output after a verified success, on
  // the worker thread before the done report (a big file may need rewriting,
  // which must not hold the report thread). Nothing is written when empty.
  TOutputTags Tags;
  // Why a successful output was left untagged ("" when it was tagged or its
  // format takes no tags). Read in the done report.
  std::string TagWarning;

  void SetOnProgress(TProgressEvent handler) { OnProgress = std::move(handler); }
  void SetOnDone(TDoneEvent handler) { OnDone = std::move(handler); }

  // Starts the conversion run on a new thread; a worker runs once.
  void Start();
  // Any thread. The encoder is ended when its next output arrives (or when it
  // ends); the run then makes no report.
  void RequestStop() { StopFlag = true; }
  // Any thread. A stop that does not wait for the encoder's next output: the
  // encoder (and its children) are killed now; the run makes no report.
  void Abort() {
    StopFlag = true;
    KillEncoder();
  }
  // Any thread. After it returns no OnProgress/OnDone runs (a report running
  // on another thread is waited for).
  void Detach();
  // Waits for the thread to end (pumping the report queue on its thread).
  void WaitFor();
  bool Finished() const { return finished_; }
  // Process id of the encoder now running or last run; -1 before the first.
  pid_t EncoderPid() const { return lastPid_; }

  std::string BuildAudioCommandLine(const std::string& inFile, const std::string& outFile,
                                    const TCnvtSettings& settings);
  std::string BuildVideoCommandLine(const std::string& inFile, const std::string& outFile,
                                    const TCnvtSettings& settings);
  // Runs the encoder with Arguments (or CommandLine split) to its end. Throws
  // EConvertError when it cannot be started.
  void RunEncoder();

 private:
  void Execute();
  void ReportProgress();
  void ReportDone();
  void Report(const std::function<void()>& call);
  void KillEncoder();
  // The information pass: read in this process, or by the encoder when the
  // library cannot read the file; ResultText holds what it found.
  void RunInformationPass(const std::string& inFile);
  void InformationPassTimedOut();
  // For a video preset with an audio bit rate: reads the input's audio
  // format here and hands it to the encoder, which would otherwise start a
  // probe process of its own to keep the bit rate within its codec's ceiling.
  void PassInputAudioFormat();

  std::shared_ptr<platform::CallQueue> queue_;
  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> pumping_{false};  // a WaitFor on the report thread waits for finished_
  std::recursive_mutex reportMutex_;  // held while a report runs; Detach takes it
  bool detached_ = false;
  std::mutex procMutex_;  // guards proc_ against KillEncoder from the owner
  platform::TProcess* proc_ = nullptr;
  std::atomic<pid_t> lastPid_{-1};
  // End of the information pass's time, shared by the in-process read and the
  // encoder's pass after it.
  std::chrono::steady_clock::time_point infoDeadline_{};
  bool needsInputAudio_ = false;  // set by the video builder
  std::vector<std::string> encoderEnvironment_;
};
