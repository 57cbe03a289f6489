#pragma once
#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "resolve/InetEng.h"

// Running the external extractor (yt-dlp) on one link: it only reads the page and
// answers with one JSON document; our engine fetches the streams.

// How the extractor is run.
struct TYtDlpOptions {
  std::string Program;         // empty: "yt-dlp" on PATH
  TFetchProxy Proxy;           // the downloads' proxy: stream addresses are often bound to it
  std::string CookiesBrowser;  // empty: none; else --cookies-from-browser NAME
  int TimeLimitSec = 90;       // then the process is killed
  // A link that names a video and its playlist is read as the playlist.
  bool WholePlaylist = false;
  // Larger answers end the run: a real page's document is well under 5 MiB, and
  // a runaway one must not fill the memory.
  size_t MaxAnswerBytes = 16u << 20;
};

enum class TYtDlpFailure {
  None,
  NotInstalled,  // the program could not be started
  TooOld,        // exit code 2: it refused an option of ours
  Error,         // it said why (its last ERROR: line)
  TimedOut,
  TooLarge,
  BadAnswer,  // exit 0 but no readable JSON document
  Cancelled
};

struct TYtDlpAnswer {
  TYtDlpFailure Failure = TYtDlpFailure::None;
  std::string Reason;  // a note's text when Failure is set
  // The JSON document (from its first "{" line on) on success; also with exit code
  // 1 when one came (a playlist some of whose entries failed).
  std::string Json;
  int ExitCode = -1;
};

// The box text when the program is missing.
extern const char* const kYtDlpMissingText;

// The command line (argv[0] is the program as given or "yt-dlp").
std::vector<std::string> YtDlpArguments(const std::string& link, const TYtDlpOptions& options);

// The changes to the child's environment ("NAME=VALUE", bare "NAME" removes): the
// proxy with its credentials goes here and never onto the command line, which any
// user can read.
std::vector<std::string> YtDlpEnvironment(const TYtDlpOptions& options);

// The reason of a failed run from its standard error: the last "ERROR:" line
// without "ERROR: " and without a leading "[extractor] id: "; empty when none.
std::string YtDlpErrorReason(const std::string& stderrText);

// Any thread: runs the extractor on link and waits for its answer. Blocks for at
// most the time limit (plus a kill); a raised cancel flag kills the child within
// about 100 ms. Never throws.
TYtDlpAnswer RunYtDlp(const std::string& link, const TYtDlpOptions& options,
                      const std::atomic<bool>* cancel = nullptr);
