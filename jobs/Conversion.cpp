#include "jobs/Conversion.h"

#include "platform/CallQueue.h"

// Conversions are not wired yet: jobs handed over stay in jsEncoding.
void SetConversionReportQueue(std::shared_ptr<platform::CallQueue>) {}
void StartConversion(TEncItem*, const TCnvtSettings&) {}
void StartConversionSweep(std::vector<uint64_t>) {}
