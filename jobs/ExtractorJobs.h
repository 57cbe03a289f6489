#pragma once
#include <atomic>
#include <string>

#include "jobs/EncItem.h"
#include "jobs/Resolve.h"
#include "resolve/YtDlp.h"

class TclDownLoadItem;

// The resolver kind of a job read by the external extractor (TEncItem::Resolver).
extern const char* const kExtractorResolver;

// Owner (GUI) thread: hands the options' program and cookie choice to the
// extractor's resolver (which runs on other threads). Call after the options change.
void PublishExtractorChoice();

// Owner (GUI) thread: how the extractor is run now, from the options (program,
// cookies) and the downloads' proxy.
TYtDlpOptions ExtractorOptions();

// Makes a link job of job->Source with the extractor: Title, Qualities, the default
// quality (audioPreset: the job's preset makes audio only), StreamUrl, running time,
// Resolver and WebpageUrl. False when it cannot: *reason then holds the box text (the
// extractor's own reason, or how to install it) and the note is in Notes. Blocks for
// the run (at most its time limit); never throws.
bool ResolveJobWithExtractor(TEncItem* job, bool audioPreset, const TYtDlpOptions& options,
                             std::string* reason = nullptr,
                             const std::atomic<bool>* cancel = nullptr);

// The lines a job can take: every one (single streams through the engine, pairs
// through the engine and a merge, HLS playlists through the encoder; see
// jobs/StreamJobs.h).
TQualityList EngineQualities(const TQualityList& qualities);

// Any thread: a new address for the job's quality, read again by the extractor
// from webpageUrl (the line with the same format id).
TRefreshedAddress FetchExtractorRefresh(const std::string& webpageUrl,
                                        const TQualityList& qualities, int qualityIndex,
                                        const TYtDlpOptions& options,
                                        const std::atomic<bool>* cancel = nullptr);

// The stream's request headers and chunk limit on a download item.
void ApplyStreamRequest(TclDownLoadItem& item, const TLink& link);
