#pragma once
// The one place that turns a link into a job description.
//
// A resolver takes a link (with the proxy, the per-request limits, an overall
// deadline and a cancel flag) and answers with a TResolvedJob: what the job
// table needs (title, running time, qualities with their addresses, the
// default quality) or, when it cannot, a reason. Resolvers know nothing of
// jobs, rows, settings or threads: jobs/ResolveService runs them on its
// threads and posts the answer back to the owner thread.
//
// Adding a resolver: implement IResolver (Accepts must be cheap and do no
// I/O; Resolve blocks, honours Deadline and Cancel, never throws) and add it
// to the set the program builds (DefaultResolvers, or TResolverSet::Add).
// The first resolver of the set that accepts a link resolves it, so a
// resolver for "any link" goes last.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "resolve/InetEng.h"
#include "resolve/Quality.h"

namespace resolve {

using TClock = std::chrono::steady_clock;

// What one resolution is given. Plain values: it is copied to the thread that
// resolves.
struct TResolveRequest {
  std::string Link;  // as received (may end in a line end; FetchAddress trims)
  TFetchProxy Proxy;
  // Limits of each page request (60 s, 32 MiB by default).
  TFetchTimeouts Limits;
  // The whole resolution ends by then, whatever is left of its requests.
  TClock::time_point Deadline = TClock::time_point::max();
  // Raised when the answer is no longer wanted (row removed, window closed):
  // the resolution ends its connections within a fraction of a second. May be null.
  const std::atomic<bool>* Cancel = nullptr;
  // A new reading of a link already read (its stream address expired): the
  // resolver may skip what only a first reading needs.
  bool Refresh = false;
  // Non-empty: only the resolver of this name reads the link (a refresh goes
  // back to the resolver that read the job first).
  std::string Only;
  // A link that names a video and its playlist is read as the playlist.
  bool WholePlaylist = false;

  bool Cancelled() const { return Cancel && Cancel->load(); }
  bool TimedOut() const { return TClock::now() >= Deadline; }
};

// One video of a playlist's listing: read later on its own, by its link.
struct TResolvedEntry {
  std::string Link;
  std::string Title;         // empty: none listed
  int32_t DurationSec = -1;  // -1 when unknown
  int32_t Position = 0;      // 0-based place in the playlist
};

// The answer. Ok: at least one quality and DefaultQuality names one that has
// an address. Not Ok: Failure says why (one line, for the log and the notes).
struct TResolvedJob {
  bool Ok = false;
  std::string Failure;
  // Note lines for the job, "label: message\r" each (see AppendNote), kept
  // whether or not the link resolved: warnings of cut-off requests and such.
  std::string Notes;

  std::string Title;         // empty: the job shows the link
  int32_t DurationSec = -1;  // running time; -1 when unknown
  std::string Source;        // the link as it was given
  std::string PageUrl;       // the page the qualities were read from; empty when none
  // Every quality offered, in the order to show. A quality's Link holds its
  // address and extension, and optionally the request headers its download
  // must send, the format id of its source and a chunk-size limit.
  TQualityList Qualities;
  int32_t DefaultQuality = -1;  // index into Qualities; -1 when none
  bool IsVideo = false;         // what the job's IsVideo becomes
  // The reader a job keeps (its Resolver): empty for the built-in readers,
  // which need nothing beyond the link to read it again; else the resolver's
  // name, and PageUrl is what a refresh reads.
  std::string Resolver;
  // Not Ok: the next resolver that accepts the link may try it (a page that
  // arrived but offered nothing this resolver can read).
  bool TryNext = false;
  // Not Ok: Failure is worth showing to the user beside "Error Link!".
  bool ShowFailure = false;
  // Not Ok: a box of its own instead of "Error Link!" (what to install), told
  // once however many links of one paste gave it.
  std::string Advice;
  // The link is a playlist (Ok false): these entries, in order, become jobs of
  // their own instead. MissingEntries: entries that could not be read at all.
  bool Playlist = false;
  std::vector<TResolvedEntry> Entries;
  int32_t MissingEntries = 0;
};

class IResolver {
 public:
  virtual ~IResolver() = default;
  // A short name for the log ("watch page", "direct link", ...).
  virtual std::string Name() const = 0;
  // Whether this resolver takes the link. Any thread; no I/O; cheap (it is
  // what decides "Not valid link!" at once).
  virtual bool Accepts(const std::string& link) const = 0;
  // True when Resolve needs no I/O and may run on the caller's thread
  // (direct media links): the job is ready at once.
  virtual bool Immediate() const { return false; }
  // True for a resolver of any web link: copying an arbitrary address must not
  // make a job unless the user asked for it (Auto paste of other sites).
  virtual bool AnyLink() const { return false; }
  // Any thread, possibly several at once. Blocks until the answer is known,
  // the request's Deadline has passed or its Cancel flag is raised; never throws.
  virtual TResolvedJob Resolve(const TResolveRequest& request) const = 0;
};

// The program's resolvers, asked in order. Copies share the resolvers;
// a set is not changed once threads use it.
class TResolverSet {
 public:
  void Add(std::shared_ptr<const IResolver> resolver);
  // The first resolver that accepts link, or null.
  const IResolver* For(const std::string& link) const;
  // The resolver of that name when it accepts link, or null.
  const IResolver* Named(const std::string& name, const std::string& link) const;
  bool Accepts(const std::string& link) const { return For(link) != nullptr; }
  // Resolves with the first accepting resolver (or request.Only); a failure
  // "No resolver takes this link" when none does. A first reading that fails
  // with TryNext goes on to the next resolver that accepts the link, unless it
  // was cancelled or its time is up; when that one fails too, its reason is
  // not for the box (ShowFailure off): the link fails as the first reader's do.
  TResolvedJob Resolve(const TResolveRequest& request) const;
  bool Empty() const { return resolvers_.empty(); }

 private:
  std::vector<std::shared_ptr<const IResolver>> resolvers_;
};

// The built-in resolvers: the site's watch page (the information request,
// then the page, parsed) and direct media links (no request at all).
std::shared_ptr<const IResolver> MakeWatchPageResolver();
std::shared_ptr<const IResolver> MakeDirectLinkResolver();
// Watch page first, then direct links, then the external extractor (any other
// web link, and site links whose page gives no stream map).
TResolverSet DefaultResolvers();

// A request for link with the process-wide limits and proxy and an overall
// limit of overallSec from now.
TResolveRequest MakeRequest(const std::string& link, const TFetchProxy& proxy, int overallSec,
                            const std::atomic<bool>* cancel);

// The default overall limit of one resolution.
inline constexpr int kDefaultResolveSec = 90;

}  // namespace resolve
