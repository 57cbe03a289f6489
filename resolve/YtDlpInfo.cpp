#include "resolve/YtDlpInfo.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

using nlohmann::json;

namespace {

std::string Text(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

double Number(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_number() ? it->get<double>() : 0.0;
}

// A byte count: 0 when absent, negative or past any real file (a hostile
// document's 1e300 must not reach an integer conversion).
long long Bytes(const json& j, const char* key) {
  const double v = Number(j, key);
  return v > 0 && v < 1e15 ? static_cast<long long>(v) : 0;
}

bool Flag(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && ((it->is_boolean() && it->get<bool>()) ||
                           (it->is_number() && it->get<double>() != 0) ||
                           (it->is_string() && !it->get<std::string>().empty()));
}

// "a=1; Domain=.x; Path=/; Secure, b=2; ..." (the extractor's cookie text) -> "a=1; b=2".
std::string CookieHeader(const std::string& cookies) {
  static const std::set<std::string> attributes = {"domain", "path",     "expires", "max-age",
                                                   "secure", "httponly", "samesite"};
  std::string header;
  size_t pos = 0;
  while (pos < cookies.size()) {
    size_t end = cookies.find_first_of(";,", pos);
    if (end == std::string::npos) end = cookies.size();
    std::string part = cookies.substr(pos, end - pos);
    pos = end + 1;
    part.erase(0, part.find_first_not_of(' '));
    const size_t eq = part.find('=');
    std::string name = part.substr(0, eq);
    std::string lower = name;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.empty() || attributes.count(lower) || eq == std::string::npos) continue;
    // "Expires=Thu, 01 Jan ..." is cut at its comma: the rest is no cookie.
    if (lower.find(' ') != std::string::npos) continue;
    if (!header.empty()) header += "; ";
    header += part;
  }
  return header;
}

bool FetchableProtocol(const std::string& protocol, bool& hls) {
  hls = protocol == "m3u8" || protocol == "m3u8_native";
  return hls || protocol == "http" || protocol == "https";
}

// Fills f from one format object; false when we cannot fetch it.
bool ReadFormat(const json& j, TYtFormat& f) {
  f.Url = Text(j, "url");
  if (f.Url.empty()) return false;
  std::string protocol = Text(j, "protocol");
  if (protocol.empty()) protocol = f.Url.rfind("https:", 0) == 0 ? "https" : "http";
  if (!FetchableProtocol(protocol, f.Hls)) return false;
  if (Flag(j, "has_drm") || Flag(j, "_has_drm")) return false;
  f.Ext = Text(j, "ext");
  const std::string note = Text(j, "format_note");
  if (f.Ext == "mhtml" || note.find("storyboard") != std::string::npos) return false;
  f.Id = Text(j, "format_id");
  const std::string vcodec = Text(j, "vcodec"), acodec = Text(j, "acodec");
  f.HasVideo = vcodec != "none";
  f.HasAudio = acodec != "none";
  if (!f.HasVideo && !f.HasAudio) return false;
  f.Height = static_cast<int>(Number(j, "height"));
  f.Kbps = Number(j, "tbr");
  if (f.Kbps <= 0) f.Kbps = Number(j, "abr") + Number(j, "vbr");
  bool hasCookie = false;
  if (auto h = j.find("http_headers"); h != j.end() && h->is_object()) {
    for (auto it = h->begin(); it != h->end(); ++it) {
      if (!it.value().is_string()) continue;
      std::string name = it.key();
      const std::string value = it.value().get<std::string>();
      // Line breaks would start headers of their own.
      if (name.find_first_of("\r\n:") != std::string::npos ||
          value.find_first_of("\r\n") != std::string::npos)
        continue;
      std::string lower = name;
      for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      hasCookie = hasCookie || lower == "cookie";
      f.Headers.emplace_back(name, value);
    }
  }
  const std::string cookies = CookieHeader(Text(j, "cookies"));
  if (!cookies.empty() && !hasCookie && cookies.find_first_of("\r\n") == std::string::npos)
    f.Headers.emplace_back("Cookie", cookies);
  if (auto d = j.find("downloader_options"); d != j.end() && d->is_object())
    f.ChunkLimit = Bytes(*d, "http_chunk_size");
  f.Size = Bytes(j, "filesize");
  if (f.Size <= 0) f.Size = Bytes(j, "filesize_approx");
  return true;
}

std::string ContainerName(const std::string& ext) {
  if (ext == "webm") return "WebM";
  if (ext == "ogg") return "Ogg";
  std::string upper = ext.empty() ? "Video" : ext;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

TLink LinkOf(const TYtFormat& f) {
  TLink link;
  link.Url = f.Url;
  link.Ext = "." + (f.Ext.empty() ? std::string("mp4") : f.Ext);
  link.Headers = f.Headers;
  link.ChunkLimit = f.ChunkLimit;
  link.Size = f.Size;
  link.FormatId = f.Id;
  link.Hls = f.Hls;
  return link;
}

// Audio of the same family first: it merges into the video's container.
bool SameFamily(const std::string& videoExt, const std::string& audioExt) {
  if (videoExt == "webm") return audioExt == "webm" || audioExt == "opus" || audioExt == "ogg";
  if (videoExt == "mp4") return audioExt == "m4a" || audioExt == "mp4";
  return false;
}

}  // namespace

TYtInfo ParseYtDlpJson(const std::string& text) {
  TYtInfo info;
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    info.Error = "yt-dlp's answer could not be read (no complete JSON document)";
    return info;
  }
  // A page of several videos: the first is the link's (the run asks for no playlist).
  if (auto e = doc.find("entries");
      e != doc.end() && e->is_array() && !doc.contains("formats") && !doc.contains("url")) {
    for (const auto& entry : *e)
      if (entry.is_object()) {
        json first = entry;
        doc = std::move(first);
        break;
      }
  }
  info.Title = Text(doc, "title");
  info.WebpageUrl = Text(doc, "webpage_url");
  const double duration = Number(doc, "duration");
  if (duration > 0) {
    info.HasDuration = true;
    info.DurationSec = static_cast<int>(std::lround(duration));
  }
  auto list = doc.find("formats");
  std::vector<const json*> entries;
  if (list != doc.end() && list->is_array()) {
    for (const auto& f : *list)
      if (f.is_object()) entries.push_back(&f);
  } else {
    entries.push_back(&doc);
  }
  for (const json* e : entries) {
    TYtFormat f;
    if (ReadFormat(*e, f)) {
      info.Formats.push_back(std::move(f));
    } else {
      ++info.Skipped;
    }
  }
  if (info.Formats.empty()) {
    info.Error = entries.empty() ? "yt-dlp found no stream on the page"
                                 : "yt-dlp found no stream this program can fetch (" +
                                       std::to_string(entries.size()) +
                                       " left out: DRM, storyboards or other protocols)";
    return info;
  }
  info.Ok = true;
  return info;
}

TQualityList YtQualities(const std::vector<TYtFormat>& formats) {
  TQualityList list;
  std::set<std::string> names;
  auto add = [&](TQuality q) {
    if (names.count(q.Name)) {
      // Same container and height: a second one only with its id to tell them apart.
      if (q.Link.FormatId.empty()) return;
      q.Name += " (" + q.Link.FormatId + ")";
      if (names.count(q.Name)) return;
    }
    names.insert(q.Name);
    list.push_back(std::move(q));
  };
  // Best first; at the same height our engine's streams before HLS, then the higher rate.
  auto better = [](const TYtFormat* a, const TYtFormat* b) {
    if (a->Height != b->Height) return a->Height > b->Height;
    if (a->Hls != b->Hls) return !a->Hls;
    return a->Kbps > b->Kbps;
  };
  std::vector<const TYtFormat*> both, videoOnly, audioOnly;
  for (const auto& f : formats) {
    if (f.HasVideo && f.HasAudio) both.push_back(&f);
    else if (f.HasVideo) videoOnly.push_back(&f);
    else audioOnly.push_back(&f);
  }
  std::stable_sort(both.begin(), both.end(), better);
  std::stable_sort(videoOnly.begin(), videoOnly.end(), better);
  std::stable_sort(audioOnly.begin(), audioOnly.end(), [](auto* a, auto* b) {
    if (a->Hls != b->Hls) return !a->Hls;
    return a->Kbps > b->Kbps;
  });
  // HLS with sound does not hide a better pair: the engine fetches pairs faster.
  int bestBoth = -1;
  for (const auto* f : both)
    if (!f->Hls) bestBoth = std::max(bestBoth, f->Height);

  std::vector<TQuality> video;
  for (const auto* f : both) {
    TQuality q;
    q.Name = ContainerName(f->Ext) + (f->Height > 0 ? " " + std::to_string(f->Height) + "p" : "");
    q.Link = LinkOf(*f);
    q.Height = f->Height;
    q.Kbps = f->Kbps;
    video.push_back(std::move(q));
  }
  // Pairs where a video-only stream is better than every stream with sound; the
  // encoder reads HLS itself, so pairs are made of engine streams only.
  const TYtFormat* anyAudio = nullptr;
  for (const auto* a : audioOnly)
    if (!a->Hls) {
      anyAudio = a;
      break;
    }
  if (anyAudio) {
    for (const auto* v : videoOnly) {
      if (v->Hls || v->Height <= bestBoth) continue;
      const TYtFormat* audio = anyAudio;
      for (const auto* a : audioOnly)
        if (!a->Hls && SameFamily(v->Ext, a->Ext)) {
          audio = a;
          break;
        }
      TQuality q;
      q.Name = ContainerName(v->Ext) + (v->Height > 0 ? " " + std::to_string(v->Height) + "p" : "") +
               " (video + audio)";
      q.Link = LinkOf(*v);
      q.Audio = LinkOf(*audio);
      // Mixed families go into a container that takes both.
      if (!SameFamily(v->Ext, audio->Ext)) q.Link.Ext = ".mkv";
      q.Height = v->Height;
      q.Kbps = v->Kbps + audio->Kbps;
      video.push_back(std::move(q));
    }
  }
  std::stable_sort(video.begin(), video.end(),
                   [](const TQuality& a, const TQuality& b) { return a.Height > b.Height; });
  for (auto& q : video) add(std::move(q));
  for (const auto* a : audioOnly) {
    TQuality q;
    q.Name = ContainerName(a->Ext) + " audio" +
             (a->Kbps > 0 ? " " + std::to_string(static_cast<long>(a->Kbps)) + "k" : "");
    q.Link = LinkOf(*a);
    q.HasVideo = false;
    q.Kbps = a->Kbps;
    add(std::move(q));
  }
  return list;
}

int YtDefaultQuality(const TQualityList& qualities, bool audioPreset) {
  if (qualities.empty()) return -1;
  if (audioPreset) {
    int best = -1;
    for (int i = 0; i < static_cast<int>(qualities.size()); ++i) {
      const auto& q = qualities[i];
      if (q.HasVideo) continue;
      if (best < 0 || (q.Link.Hls != qualities[best].Link.Hls ? !q.Link.Hls
                                                               : q.Kbps > qualities[best].Kbps))
        best = i;
    }
    if (best >= 0) return best;
  }
  // Higher is better up to 1080p; above it the smaller the better. At the same
  // height one engine stream before a pair, a pair before HLS.
  auto rank = [](const TQuality& q) {
    const int h = q.Height;
    const int heightRank = h <= 1080 ? h : -h;
    const int kind = q.Link.Hls ? 0 : (q.Audio.Url.empty() ? 2 : 1);
    return std::make_pair(heightRank, kind);
  };
  int best = -1;
  for (int i = 0; i < static_cast<int>(qualities.size()); ++i) {
    if (!qualities[i].HasVideo) continue;
    if (best < 0 || rank(qualities[i]) > rank(qualities[best])) best = i;
  }
  return best >= 0 ? best : 0;
}
