#pragma once
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/CnvtSettings.h"
#include "download/clSavedDownload.h"
#include "jobs/JobGrid.h"
#include "resolve/Quality.h"

// Download manager item; the job only compares it for identity.
class TclDownLoadItem;

enum TJobState : uint8_t {
  jsNew = 0,
  jsDownloading = 1,
  jsEncoding = 2,
  jsDone = 3,
  jsConvertFailed = 4,
  jsStopped = 5,
  // The download ended without a whole file; the job keeps its mode for the next Start.
  jsDownloadFailed = 6,
  // A link job whose link is being read (or waits to be); not ready for Start.
  jsReading = 7
};

// What Start does with a job. A new job holds 0 until its creator sets a mode.
enum TJobMode : int32_t {
  jmSkip = 1,
  jmDownloadOnly = 2,
  jmConvertOnly = 3,
  jmDownloadConvert = 4
};

// Caption of mode m is ModeCaptions[m - 1].
inline constexpr std::array<std::string_view, 4> ModeCaptions = {
    "Skip", "Download Only", "Convert Only", "Download&Convert"};

// Caption of a mode; empty for a value that is no mode.
std::string ModeCaption(int32_t mode);

// A running conversion as the job table sees it. The job owns it: freeing it
// ends the encoder and guarantees that no report of the conversion reaches the
// job afterwards (jobs/Conversion.cpp holds the real one).
class IJobConverter {
 public:
  virtual ~IJobConverter() = default;
  // Ends the conversion without waiting; no report of it follows.
  virtual void RequestStop() = 0;
};

// What a stopped or interrupted download leaves for the next Start: the
// download item's own record of an unfinished file, handed back to it as is.
using TSegmentState = TclSavedSegment;
using TDownloadResume = TclSavedDownload;

// One job: a link to download (and maybe convert) or a local file to convert.
// Main thread only, apart from the start sweep reading State.
class TEncItem {
 public:
  TEncItem();
  ~TEncItem();
  TEncItem(const TEncItem&) = delete;
  TEncItem& operator=(const TEncItem&) = delete;

  TJobState State = jsNew;
  int32_t QualityIndex = -1;
  bool StopRequested = false;
  bool IsLink = false;
  std::string Source;
  double Progress = 0;
  std::string StreamUrl;
  int32_t DurationSec = 0;
  std::string Title;
  std::string MediaFile;
  std::string OutputFile;
  // OutputFile was reserved by the conversion under way and holds no finished
  // output yet: only such a file may be deleted after a crash. Set with the
  // reservation, cleared by the conversion's success.
  bool OutputReserved = false;
  IJobGrid* Grid = nullptr;  // not owned; set once the row exists
  std::string Notes;         // lines of "label: message\r"
  // Set while a conversion runs (from its start to its end report or stop).
  std::unique_ptr<IJobConverter> Converter;
  int32_t Mode = 0;  // a TJobMode once set
  bool DeleteSource = false;
  TQualityList Qualities;
  TclDownLoadItem* DownloadItem = nullptr;  // owned by the download manager
  bool IsVideo = false;
  TCnvtSettings Settings;  // all zero and empty until the panel is applied
  TDownloadResume Resume;  // of MediaFile; kept while the job's download is unfinished
  // The downloading mode of the job's last run that downloaded (0 before any).
  int32_t LastDownloadMode = 0;
  // Who read the link: empty for the built-in reader (watch page, direct link),
  // kExtractorResolver for the external extractor, whose page of the video
  // (WebpageUrl) a refresh reads again.
  std::string Resolver;
  std::string WebpageUrl;

  // Chooses the quality at index (or none for a negative index) and shows its
  // name in the row. An index past the list throws std::out_of_range and
  // changes nothing.
  void SetQuality(int32_t index);

  // The value kept in the row's hidden cell. Unique for the process, never 0,
  // never reused, so a stale reference finds no job rather than a freed one.
  uint64_t Ref() const { return ref_; }
  // The living job with that reference, or null.
  static TEncItem* FromRef(uint64_t ref);

 private:
  uint64_t ref_;
};

// All jobs; entry i is row i of the job table. Does not own the jobs.
// An entry may be null (a job that could not be kept).
class TJobList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Throws std::out_of_range.
  TEncItem* operator[](int index) const;
  void Add(TEncItem* job) { items_.push_back(job); }
  // Throws std::out_of_range.
  void Delete(int index);
  int IndexOf(const TEncItem* job) const;
  void Clear() { items_.clear(); }

 private:
  std::vector<TEncItem*> items_;
};

// The process's job list: created by the main window at start-up, freed at the end.
extern TJobList* JobList;

// "hh:mm:ss"; hours take as many digits as they need.
std::string SecondsToHMS(int32_t seconds);

// Text of the State cell for a state; a failed conversion names the preset of
// the given settings.
std::string JobStateText(TJobState state, const TCnvtSettings& settings);

// Row of the job in its table, or -1 (no table, or no row refers to it).
int JobRow(const TEncItem& job);

// Whether a living job has path as its media or output file, or fetches the
// parts of a pair beside it ("<path>.<formats>.video"). Main thread.
bool AnyJobUsesFile(const std::string& path);

// The job whose reference the row's hidden cell holds, or null.
TEncItem* RowJob(const IJobGrid& grid, int row);

// Binds job and row: the job's Grid and the row's hidden cell.
void AttachJobToRow(TEncItem& job, IJobGrid& grid, int row);

// Sets the state and refreshes the row; a job without a row keeps its state.
void SetJobState(TEncItem& job, TJobState state);

// What happened to a job that its listener (the job journal) must keep.
enum class TJobChange { Changed, Removed };
using TJobChangeListener = std::function<void(TEncItem&, TJobChange)>;
// One listener for the process (main thread); an empty function removes it.
void SetJobChangeListener(TJobChangeListener listener);
// Tells the listener. The table operations call it themselves (SetJobState,
// SetQuality, RemoveJobAt); code that changes a job's fields directly calls it
// once it is done.
void JobChanged(TEncItem& job, TJobChange change = TJobChange::Changed);

// Notes += label + ": " + message + CR.
void AppendNote(TEncItem& job, const std::exception& error, const std::string& label);
void AppendNote(TEncItem& job, const std::string& message, const std::string& label);

// Frees the job at index, deletes its entry and the row at index. Failures are
// logged; what was removed before a failure stays removed.
void RemoveJobAt(TJobList& list, IJobGrid& grid, int index);

// Stops a running conversion of the job: StopRequested is set, the encoder is
// ended and the job lets go of its converter, so no later report changes the
// job. Never raises.
void StopJobConversion(TEncItem& job);

// "Remove": every selected row, last first, loses its job (download stopped
// through stopDownload, conversion asked to stop); then the last remaining row
// is selected. Does nothing without a selection.
void RemoveSelectedJobs(TJobList& list, IJobGrid& grid,
                        const std::function<void(TclDownLoadItem*)>& stopDownload);
