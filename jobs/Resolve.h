#pragma once
#include <string>

#include "jobs/EncItem.h"

// Fetches the watch page at job->Source and fills the job's Title, Qualities,
// QualityIndex (shown in its row), StreamUrl and DurationSec. False when the
// page gave no usable stream; what went wrong is in Notes, and non-empty Notes
// are logged, a fetch cut off by the fetcher's limits with a "Warning" saying
// which. Blocks the calling (main) thread for the fetch; never throws.
bool ResolveJob(TEncItem* job);

// The video id of a link: what follows the first "<SiteRoot>watch?v=" up to the
// next "&" or the end. Without that prefix the cut still happens, at the place
// the prefix would have ended, and gives an id of no meaning.
std::string LinkVideoId(const std::string& link);

// The site's information page of a video.
std::string VideoInfoUrl(const std::string& videoId);

// True when the path's extension (after the last "." of its last part) is one
// of the video extensions, compared with case: "CLIP.MP4" is no video file.
bool IsVideoFile(const std::string& path);
