#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "convert/CnvtSettings.h"

namespace platform {
class CallQueue;
}
class TEncItem;
class TConvertThread;

// Joins a job to its conversion: names and reserves the output file, creates
// the job's conversion worker and starts it; the worker's reports move the
// job's row and decide its final state.
//
// The job owns its running conversion (TEncItem::Converter). Stopping the job
// (StopJobConversion) or freeing it (RemoveJobAt) ends the encoder at once and
// no report reaches the job afterwards; the worker itself is freed in the
// background once its thread has ended.

// The first free path in UniquePath's order (path, base0.ext, base1.ext, ...),
// created empty and exclusively at once, so no two outputs of any kind (a
// download, a conversion) ever pick the same file. Anything already there (a
// folder too) is passed over. Throws std::system_error when nothing can be created.
std::string ReserveOutputFile(const std::string& path);

// Where conversion workers report (the GUI thread's queue). Set once, on the
// GUI thread, before the first conversion starts. Until then the queue of the
// thread that starts a conversion (or a sweep) is used.
void SetConversionReportQueue(std::shared_ptr<platform::CallQueue> queue);

// Starts the conversion of one job that is in jsEncoding, with a copy of its
// settings. Main thread. Settings that need no information pass start it here
// in one go; settings that leave audio values open hand it to a one-job sweep
// with these settings, so the information pass never holds this thread. Does
// nothing for a job that already converts, is being started by a sweep or has
// StopRequested. A conversion that cannot start (output file not creatable,
// encoder not executable) ends the job in jsConvertFailed with an "Error" note,
// and the notes are logged; it does not raise for that. An information pass
// that ran out of time adds a "Warning" note and a log entry. The Progress cell
// goes to 0 when the conversion is started.
void StartConversion(TEncItem* job, const TCnvtSettings& settings);

// The start sweep: starts, on a thread of its own, the conversions of the
// given jobs. The program starts all its conversions this way: Start with the
// jobs it put into jsEncoding (references taken before the downloads start),
// and the download completion handler with the one job whose download has just
// finished. Removed or stopped jobs, jobs that left jsEncoding and jobs that
// already convert are skipped, and a job never gets a second conversion.
// Called on the main thread, where the Progress cells of the jobs it will start
// go to 0 at once. Returns at once. Jobs are only read and written on the report queue's
// thread; the information pass runs on the sweep.
void StartConversionSweep(std::vector<uint64_t> jobRefs);

// The worker's percent report: the Progress cell of the job's row. Main thread.
void ConversionProgress(TEncItem& job, TConvertThread& worker, int32_t percent);

// The worker's end report: the job's final state, the deletion of the source
// after a verified success, the notes and the log entry. Main thread.
void ConversionDone(TEncItem& job, TConvertThread& worker);

// The job's running worker, or null.
TConvertThread* JobConversionWorker(const TEncItem& job);

// Waits, running the calling thread's queue (it must be the report queue's
// thread), until every sweep started so far has ended. True when they all did.
bool WaitForConversionSweeps(std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Workers that were let go but whose thread has not ended yet (tests).
size_t PendingRetiredConversions();
