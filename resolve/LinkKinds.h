#pragma once
#include <string>

// What kind of link a text is; plain text work, no I/O.

// A site link: the text contains the site's root address (anywhere, with case).
bool IsSiteLink(const std::string& text);

// A direct media link: the text, trimmed of blanks and control characters, is one
// http:// or https:// address without inner blanks, with a host, whose path (not
// its query) ends in an audio or video extension of the file picker (plus webm,
// mkv, opus, flac, aac), compared without case. A site link is never one.
bool IsDirectMediaLink(const std::string& text);

// True when the path's extension (after the last "." of its last part) is one
// of the video extensions, compared with case: "CLIP.MP4" is no video file.
bool IsVideoFile(const std::string& path);

// The video id of a link: what follows the first "<SiteRoot>watch?v=" up to the
// next "&" or the end. Without that prefix the cut still happens, at the place
// the prefix would have ended, and gives an id of no meaning.
std::string LinkVideoId(const std::string& link);

// The site's information page of a video.
std::string VideoInfoUrl(const std::string& videoId);

namespace resolve {

// Path of a direct link (from the first "/" after the host up to "?" or "#"), or
// empty when the text is no http(s) address with a host.
std::string DirectLinkPath(const std::string& text);
// The path's extension without its dot when it is a media one, else empty.
std::string MediaExtension(const std::string& path);
// Whether ext (without dot) names a video type, compared without case.
bool IsVideoExtension(const std::string& ext);
// %XX escapes to bytes; "+" stays (it is a plus in a path).
std::string PercentDecodePath(const std::string& text);

}  // namespace resolve
