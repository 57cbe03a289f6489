#pragma once
#include <memory>
#include <string>

#include "resolve/Resolver.h"
#include "resolve/YtDlpRun.h"

namespace resolve {

// The extractor resolver's name, which is also the Resolver a job read by it keeps.
inline constexpr const char* kYtDlpResolverName = "yt-dlp";

// The program's choice of how the extractor runs (Options): read by resolutions
// on any thread, changed by the owner thread when the options change.
struct TYtDlpChoice {
  std::string Program;         // empty: "yt-dlp" on PATH
  std::string CookiesBrowser;  // empty: none
};
void SetYtDlpChoice(const TYtDlpChoice& choice);
TYtDlpChoice YtDlpChoice();

// One http:// or https:// address, trimmed, without inner blanks, with a host:
// what the extractor is asked about when no built-in reader takes the link.
bool IsWebLink(const std::string& text);

// The external extractor as a resolver of any web link (it goes last in a set).
// The default quality is the one for video presets; a job whose preset makes audio
// only picks again with YtDefaultQuality (the lines carry what it needs). Every
// line is offered: single streams, video+audio pairs, HLS playlists. A failure is shown
// to the user; a missing program gives the install text as Advice.
std::shared_ptr<const IResolver> MakeYtDlpResolver();

}  // namespace resolve
