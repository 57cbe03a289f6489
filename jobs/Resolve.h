#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "jobs/EncItem.h"
#include "resolve/InetEng.h"

class TConversionThreads;

// Fetches the watch page at job->Source and fills the job's Title, Qualities,
// QualityIndex (shown in its row), StreamUrl and DurationSec. False when the
// page gave no usable stream; what went wrong is in Notes, and non-empty Notes
// are logged, a fetch cut off by the fetcher's limits with a "Warning" saying
// which. Blocks the calling (main) thread for the fetch; never throws.
bool ResolveJob(TEncItem* job);

// A new address for a job's quality, read from a fresh fetch of its watch page.
struct TRefreshedAddress {
  bool Ok = false;
  std::string StreamUrl;   // the quality's address on the page
  TQualityList Qualities;  // the page's whole list
  int QualityIndex = -1;   // the quality's line in it
  std::string Error;       // why there is no address (a note's text)
};

// Any thread: fetches the watch page at source through proxy and looks up the
// quality of that name. Touches no job and no setting; blocks for the fetch (the
// fetcher's limits bound it; a raised cancel flag ends it within about a second).
TRefreshedAddress FetchRefreshedAddress(const std::string& source, const std::string& quality,
                                        const TFetchProxy& proxy,
                                        const std::atomic<bool>* cancel = nullptr);

// The host of an address, without user, port, path or query: what a note may
// show of a signed address.
std::string AddressHost(const std::string& url);

// The video id of a link: what follows the first "<SiteRoot>watch?v=" up to the
// next "&" or the end. Without that prefix the cut still happens, at the place
// the prefix would have ended, and gives an id of no meaning.
std::string LinkVideoId(const std::string& link);

// The site's information page of a video.
std::string VideoInfoUrl(const std::string& videoId);

// True when the path's extension (after the last "." of its last part) is one
// of the video extensions, compared with case: "CLIP.MP4" is no video file.
bool IsVideoFile(const std::string& path);

// A site link: the text contains the site's root address (anywhere, with case).
bool IsSiteLink(const std::string& text);

// A direct media link: the text, trimmed of blanks and control characters, is one
// http:// or https:// address without inner blanks, with a host, whose path (not
// its query) ends in an audio or video extension of the file picker (plus webm,
// mkv, opus, flac, aac), compared without case. A site link is never one.
bool IsDirectMediaLink(const std::string& text);

// Makes a link job of the direct link in job->Source without any request: Title
// is the file name, percent-decoded, without its extension; one quality named
// after the extension in capitals, addressed at the trimmed link, chosen; running
// time 0; IsVideo for a video extension. False (job untouched) for any other text.
bool MakeDirectLinkJob(TEncItem* job);

// The lines of a pasted or dropped list of links: when the text has several
// non-empty lines and every one, trimmed, is a site or a direct link, those lines
// (without line ends) in order; otherwise empty, and the text is one link text.
std::vector<std::string> LinkListLines(const std::string& text);

// The running time of a media file as the encoder's information pass reads it;
// 0 when it cannot be read. Runs the encoder: call it off the GUI thread.
int32_t ReadRunningTime(const std::string& file);

// Owner thread of threads: reads the running time of job.MediaFile on a thread
// of the set and, when one is found, shows it in DurationSec and the Time cell,
// on the owner thread again (its call queue). A job removed meanwhile is left
// alone.
void ShowRunningTimeOf(TConversionThreads& threads, TEncItem& job);
