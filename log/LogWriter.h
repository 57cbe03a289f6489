#pragma once
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

// Plain-text log of what went wrong during a run. The file is opened and closed
// for every entry, so what is on disk is always complete.
class TLogWriter {
 public:
  TLogWriter() = default;
  ~TLogWriter();
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  const std::string& Folder() const { return folder_; }
  void SetFolder(const std::string& folder) { folder_ = folder; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  bool Enabled() const { return enabled_; }
  const std::string& LogFileName() const { return logFileName_; }

  // Deletes an existing file at path (failure ignored); nothing is opened.
  void SetLogFile(const std::string& path);
  // Opens path for appending, creating it when missing. Throws on failure.
  void Open(const std::string& path);
  // Writes text + CR LF while enabled. Throws when the write fails.
  void WriteLine(const std::string& text);
  // Time stamp + ": " + text; a failed write loses the entry silently.
  void AddEntry(const std::string& text);
  void Close();

  // "dd.mm.yyyy hh:mm:ss" in local time.
  static std::string TimeStamp();

 private:
  std::recursive_mutex lock_;
  std::FILE* file_ = nullptr;
  bool enabled_ = false;
  std::string folder_;
  std::string logFileName_;
  bool closed_ = true;
};

// The process-wide log. The main window installs its writer at start-up; before
// that (and after it is removed) logging does nothing. Safe from any thread.
void SetMainLogWriter(TLogWriter* writer);
TLogWriter* MainLogWriter();

// Open, add one entry, close. Never raises and never shows anything.
void LogText(const std::string& text);
// "Error: " + the exception's message.
void LogError(const std::exception& error);
