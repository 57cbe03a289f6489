#pragma once
#include <string>

#include "jobs/EncItem.h"
#include "resolve/Quality.h"

class TclDownLoadItem;

// The resolver kind of a job read by the external extractor (TEncItem::Resolver).
extern const char* const kExtractorResolver;

// Owner (GUI) thread: hands the options' program and cookie choice to the
// extractor's resolver (which runs on other threads). Call after the options change.
void PublishExtractorChoice();

// A job just read by the extractor whose preset makes audio only takes the best
// audio-only stream (no video bytes fetched); any other job is left alone. True
// when the quality changed.
bool PickQualityForPreset(TEncItem& job);

// The stream's request headers and chunk limit on a download item.
void ApplyStreamRequest(TclDownLoadItem& item, const TLink& link);
