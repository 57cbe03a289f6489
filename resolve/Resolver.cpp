#include "resolve/Resolver.h"

#include <exception>

#include "log/LogWriter.h"
#include "platform/Text.h"
#include "resolve/LinkKinds.h"
#include "resolve/Resolution.h"
#include "resolve/YtDlpResolver.h"

namespace resolve {

namespace {

void AddNote(TResolvedJob& r, const std::string& message, const char* label) {
  r.Notes += std::string(label) + ": " + message + "\r";
}

// The site's watch page: the information request first (the site expects it;
// its answer is not needed), then the page at the link, parsed.
class TWatchPageResolver : public IResolver {
 public:
  std::string Name() const override { return "watch page"; }
  bool Accepts(const std::string& link) const override { return IsSiteLink(link); }
  TResolvedJob Resolve(const TResolveRequest& request) const override {
    TResolvedJob r;
    r.Source = request.Link;
    r.PageUrl = request.Link;
    if (!request.Refresh) {
      std::string cutOff;
      InetGetText(VideoInfoUrl(LinkVideoId(request.Link)), request.Proxy, request.Limits,
                  request.Deadline, request.Cancel, &cutOff);
      if (!cutOff.empty()) LogText("Information request: " + cutOff);
    }
    if (request.Cancelled()) {
      r.Failure = "The reading of the link was cancelled";
      return r;
    }
    std::string cutOff;
    const std::string page = InetGetText(request.Link, request.Proxy, request.Limits,
                                         request.Deadline, request.Cancel, &cutOff);
    if (!cutOff.empty()) AddNote(r, cutOff, "Warning");
    TPageResolution parsed = ResolveWatchPage(page);
    r.Title = parsed.Title;
    r.Qualities = std::move(parsed.Qualities);
    r.DefaultQuality = parsed.QualityIndex;
    if (parsed.ParseError) {
      r.Notes += "parse youtube error\r";
      r.Failure = !cutOff.empty()  ? cutOff
                  : page.empty()   ? std::string("The watch page could not be fetched")
                                   : std::string("The watch page offers no stream");
      // A page that came whole but has no stream map is one the site no longer
      // serves in the old form: another reader may still know it.
      r.TryNext = cutOff.empty() && !page.empty();
      return r;
    }
    if (!parsed.Warning.empty()) {
      AddNote(r, parsed.Warning, "Warning");
      r.Failure = parsed.Warning;
      return r;
    }
    if (parsed.HasDuration) r.DurationSec = parsed.DurationSec;
    r.Ok = true;
    return r;
  }
};

// The address of a plain media file on any server: nothing to fetch.
class TDirectLinkResolver : public IResolver {
 public:
  std::string Name() const override { return "direct link"; }
  bool Accepts(const std::string& link) const override { return IsDirectMediaLink(link); }
  bool Immediate() const override { return true; }
  TResolvedJob Resolve(const TResolveRequest& request) const override {
    TResolvedJob r;
    r.Source = request.Link;
    if (!Accepts(request.Link)) {
      r.Failure = "No media file address";
      return r;
    }
    const std::string path = DirectLinkPath(request.Link);
    const std::string ext = MediaExtension(path);
    const std::string name = path.substr(path.rfind('/') + 1);
    r.Title = PercentDecodePath(name.substr(0, name.size() - ext.size() - 1));
    if (r.Title.empty()) r.Title = name;
    TQuality quality;
    quality.Name = platform::AsciiUpper(ext);
    quality.Link.Url = platform::TrimBlanks(request.Link);
    quality.Link.Ext = "." + ext;
    r.Qualities.push_back(std::move(quality));
    r.DefaultQuality = 0;
    r.IsVideo = IsVideoExtension(ext);
    r.Ok = true;
    return r;
  }
};

}  // namespace

void TResolverSet::Add(std::shared_ptr<const IResolver> resolver) {
  if (resolver) resolvers_.push_back(std::move(resolver));
}

const IResolver* TResolverSet::For(const std::string& link) const {
  for (const auto& resolver : resolvers_)
    if (resolver->Accepts(link)) return resolver.get();
  return nullptr;
}

const IResolver* TResolverSet::Named(const std::string& name, const std::string& link) const {
  for (const auto& resolver : resolvers_)
    if (resolver->Name() == name && resolver->Accepts(link)) return resolver.get();
  return nullptr;
}

namespace {

TResolvedJob ResolveWith(const IResolver& resolver, const TResolveRequest& request) {
  try {
    TResolvedJob r = resolver.Resolve(request);
    if (r.Source.empty()) r.Source = request.Link;
    // An answer that claims success must name a quality with an address.
    if (r.Ok && (r.DefaultQuality < 0 || static_cast<size_t>(r.DefaultQuality) >= r.Qualities.size() ||
                 r.Qualities[static_cast<size_t>(r.DefaultQuality)].Link.Url.empty())) {
      r.Ok = false;
      if (r.Failure.empty()) r.Failure = "The " + resolver.Name() + " gave no usable quality";
    }
    if (!r.Ok && r.Failure.empty()) r.Failure = "The link could not be read";
    return r;
  } catch (const std::exception& e) {
    TResolvedJob r;
    r.Source = request.Link;
    r.Failure = e.what();
    return r;
  }
}

}  // namespace

TResolvedJob TResolverSet::Resolve(const TResolveRequest& request) const {
  TResolvedJob r;
  r.Source = request.Link;
  r.Failure = "No resolver takes this link";
  if (!request.Only.empty()) {
    const IResolver* resolver = Named(request.Only, request.Link);
    return resolver ? ResolveWith(*resolver, request) : r;
  }
  bool next = false;
  for (const auto& resolver : resolvers_) {
    if (!resolver->Accepts(request.Link)) continue;
    r = ResolveWith(*resolver, request);
    // A link the first reader took fails as that reader's links always have:
    // the later reader's reason goes to the log and the notes, not the box.
    if (next && !r.Ok) r.ShowFailure = false;
    // A refresh stays with the reader that gave the job its streams.
    if (r.Ok || !r.TryNext || request.Refresh || request.Cancelled() || request.TimedOut())
      return r;
    LogText("The " + resolver->Name() + " could not read " + request.Link + " (" + r.Failure +
            "); the next reader tries");
    next = true;
  }
  return r;
}

std::shared_ptr<const IResolver> MakeWatchPageResolver() {
  return std::make_shared<TWatchPageResolver>();
}

std::shared_ptr<const IResolver> MakeDirectLinkResolver() {
  return std::make_shared<TDirectLinkResolver>();
}

TResolverSet DefaultResolvers() {
  TResolverSet set;
  set.Add(MakeWatchPageResolver());
  set.Add(MakeDirectLinkResolver());
  set.Add(MakeYtDlpResolver());
  return set;
}

TResolveRequest MakeRequest(const std::string& link, const TFetchProxy& proxy, int overallSec,
                            const std::atomic<bool>* cancel) {
  TResolveRequest request;
  request.Link = link;
  request.Proxy = proxy;
  request.Limits = FetchTimeouts();
  if (overallSec > 0) request.Deadline = TClock::now() + std::chrono::seconds(overallSec);
  request.Cancel = cancel;
  return request;
}

}  // namespace resolve
