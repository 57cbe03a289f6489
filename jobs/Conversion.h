#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "convert/CnvtSettings.h"

namespace platform {
class CallQueue;
}
class TEncItem;

// Joins a job to its conversion: names the output file, creates the job's
// conversion worker and starts it; the worker's reports move the job's row and
// decide its final state.

// Where conversion workers report (the GUI thread's queue). Set once, on the
// GUI thread, before the first conversion starts.
void SetConversionReportQueue(std::shared_ptr<platform::CallQueue> queue);

// Starts the conversion of one job that is in jsEncoding, with a copy of its
// settings. Main thread (the download completion hand-off). May raise when the
// worker cannot be created.
void StartConversion(TEncItem* job, const TCnvtSettings& settings);

// The start sweep: starts, on a thread of its own, the conversions of the jobs
// that Start put into jsEncoding. jobRefs are TEncItem::Ref() values taken on
// the main thread before the downloads start; removed or stopped jobs are
// skipped, and a job never gets a second conversion. Returns at once.
void StartConversionSweep(std::vector<uint64_t> jobRefs);
