#include "log/LogWriter.h"

#include <unistd.h>

#include <ctime>
#include <stdexcept>

TLogWriter::~TLogWriter() { Close(); }

void TLogWriter::SetLogFile(const std::string& path) {
  ::unlink(path.c_str());
  logFileName_ = path;
}

void TLogWriter::Open(const std::string& path) {
  Close();
  file_ = std::fopen(path.c_str(), "ab");
  if (!file_) throw std::runtime_error("Cannot open log file " + path);
  closed_ = false;
}

void TLogWriter::WriteLine(const std::string& text) {
  std::lock_guard lock(lock_);
  if (!enabled_) return;
  if (!file_) throw std::runtime_error("Log file is not open");
  std::string line = text + "\r\n";
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size())
    throw std::runtime_error("Cannot write log file");
}

void TLogWriter::AddEntry(const std::string& text) {
  try {
    WriteLine(TimeStamp() + ": " + text);
  } catch (...) {
  }
}

void TLogWriter::Close() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  closed_ = true;
}

std::string TLogWriter::TimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d.%m.%Y %H:%M:%S", &tm);
  return buf;
}

namespace {
std::mutex g_logMutex;
TLogWriter* g_writer = nullptr;
}  // namespace

void SetMainLogWriter(TLogWriter* writer) {
  std::lock_guard lock(g_logMutex);
  g_writer = writer;
}

TLogWriter* MainLogWriter() {
  std::lock_guard lock(g_logMutex);
  return g_writer;
}

void LogText(const std::string& text) {
  // One entry at a time: Open/Close are not locked inside the writer.
  std::lock_guard lock(g_logMutex);
  if (!g_writer) return;
  try {
    g_writer->Open(g_writer->LogFileName());
    g_writer->AddEntry(text);
    g_writer->Close();
  } catch (...) {
    try {
      g_writer->Close();
    } catch (...) {
    }
  }
}

void LogError(const std::exception& error) { LogText(std::string("Error: ") + error.what()); }
