#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "jobs/EncItem.h"
#include "resolve/InetEng.h"
#include "resolve/LinkKinds.h"
#include "resolve/Resolver.h"

class TResolveService;

// Fills the job from a resolution, on the job's thread: Title (the link when
// the answer has none), Qualities, the chosen quality (shown in its row),
// StreamUrl, DurationSec (0 when unknown), IsVideo, the reader kind and page
// a refresh goes back to (Resolver, WebpageUrl), and the answer's notes.
// Non-empty notes are logged. True when the answer is a usable job.
bool ApplyResolution(TEncItem& job, const resolve::TResolvedJob& answer);

// Fetches the watch page at job->Source (nothing else) with the process-wide
// proxy and limits and applies it (ApplyResolution). False when the page gave
// no usable stream. Blocks the calling thread for the fetch; never throws.
bool ResolveJob(TEncItem* job);

// A new address for a job's quality, read from a fresh fetch of its watch page.
struct TRefreshedAddress {
  bool Ok = false;
  std::string StreamUrl;   // the quality's address on the page
  TQualityList Qualities;  // the page's whole list
  int QualityIndex = -1;   // the quality's line in it
  std::string Error;       // why there is no address (a note's text)
};

// The address of the job's quality old in a new reading of its link: the line
// with the same format id(s) when old has one, else the line of the same name.
TRefreshedAddress RefreshedAddressIn(const resolve::TResolvedJob& answer, const TQuality& old);

// Any thread: reads the link at source again through proxy (the default
// resolvers) and looks up the quality of that name. Touches no job and no
// setting; blocks for the fetch (the fetcher's limits bound it; a raised cancel
// flag ends it at once).
TRefreshedAddress FetchRefreshedAddress(const std::string& source, const std::string& quality,
                                        const TFetchProxy& proxy,
                                        const std::atomic<bool>* cancel = nullptr);

// The host of an address, without user, port, path or query: what a note may
// show of a signed address.
std::string AddressHost(const std::string& url);

// Makes a link job of the direct link in job->Source without any request: Title
// is the file name, percent-decoded, without its extension; one quality named
// after the extension in capitals, addressed at the trimmed link, chosen; running
// time 0; IsVideo for a video extension. False (job untouched) for any other text.
bool MakeDirectLinkJob(TEncItem* job);

// The lines of a pasted or dropped list of links: when the text has several
// non-empty lines and every one, trimmed, is a site or a direct link, those lines
// (without line ends) in order; otherwise empty, and the text is one link text.
std::vector<std::string> LinkListLines(const std::string& text);
// The same with another test of what a link is (the resolvers' Accepts).
std::vector<std::string> LinkListLines(const std::string& text,
                                       const std::function<bool(const std::string&)>& isLink);

// The running time of a media file as the encoder's information pass reads it;
// 0 when it cannot be read. Runs the encoder: call it off the GUI thread.
int32_t ReadRunningTime(const std::string& file);

// Owner thread of the service: reads the running time of job.MediaFile on a
// thread of the service and, when one is found, shows it in DurationSec and the
// Time cell, on the owner thread again. A job removed meanwhile is left alone.
void ShowRunningTimeOf(TResolveService& service, TEncItem& job);
