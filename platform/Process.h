#pragma once
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

struct ProcessOptions {
  // Child runs at nice +10 relative to this process (the "below normal"
  // class), in the batch scheduling policy.
  bool lowerPriority = true;
  // Child leads a process group of its own, so Terminate reaches its children too.
  bool ownProcessGroup = true;
  // Child gets SIGKILL when the thread that started it ends (Linux ties the
  // parent-death signal to the starting thread, so use it only from a thread
  // that outlives the child).
  bool killWithParent = false;
  // Look argv[0] up on PATH when it holds no "/".
  bool searchPath = false;
  // Standard error gets a pipe of its own (ErrFd), apart from standard output.
  bool separateStderr = false;
  // Changes to the child's environment: "NAME=VALUE" sets, a bare "NAME" removes.
  // Values never appear on the command line (ps shows argv to every user).
  std::vector<std::string> environment;
};

// One child process whose standard output and standard error share one pipe;
// standard input is inherited. Never goes through a shell: argv reaches the
// program exactly as given.
class TProcess {
 public:
  TProcess() = default;
  // Ends (with its group) and reaps a child that is still there, so nothing
  // outlives the object as an orphan or a zombie.
  ~TProcess();
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // False when the program could not be started; error then holds the reason.
  // Call once per object.
  bool Start(const std::vector<std::string>& argv, const ProcessOptions& options = {},
             std::string* error = nullptr);

  pid_t Pid() const { return pid_; }
  int ReadFd() const { return readFd_; }
  // The standard error pipe with separateStderr; -1 otherwise. The owner reads
  // and closes it (CloseErr) itself.
  int ErrFd() const { return errFd_; }
  void CloseErr();

  // Blocks until output arrives; returns the byte count, 0 at the end of the
  // output, -1 on a read error. Owner thread only.
  ssize_t Read(void* buffer, size_t size);
  // Like Read, but waits at most timeout for output; kReadTimedOut then.
  static constexpr ssize_t kReadTimedOut = -2;
  ssize_t Read(void* buffer, size_t size, std::chrono::milliseconds timeout);
  void CloseRead();

  // Blocks until the child has ended and reaps it. Returns the exit code, or
  // 128 + the signal number when a signal ended it. Later calls return the same.
  int Wait();

  // Any thread: sends sig to the child (and its group). Does nothing once the
  // child has been reaped, so a reused process id is never hit.
  void Terminate(int sig = SIGKILL);

  bool Reaped() const;
  int ExitCode() const;  // valid once Reaped()

 private:
  pid_t pid_ = -1;
  int readFd_ = -1;
  int errFd_ = -1;
  bool ownGroup_ = false;
  mutable std::mutex mutex_;  // guards reaped_/exitCode_ against Terminate
  bool reaped_ = false;
  int exitCode_ = -1;
};

// Starts a program that outlives this one and is never waited for (it is
// reaped at once through an intermediate child). argv[0] is looked up on PATH;
// every argument reaches it byte for byte. False when it could not be started.
bool StartDetached(const std::vector<std::string>& argv);

// Resolves a program name on PATH (the name itself when it holds a "/");
// empty when nothing executable is found.
std::string FindOnPath(const std::string& name);

}  // namespace platform
