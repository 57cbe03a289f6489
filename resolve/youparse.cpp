#include "resolve/youparse.h"

#include <climits>

#include "resolve/InetEng.h"
#include "resolve/StrWork.h"

const char* const SiteRoot = "http://www.youtube.com/";

namespace {

// Decimal integer of the whole text (optional sign), as the old runtime's
// string-to-integer conversion accepted it.
bool ParseInt(const std::string& text, long long& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  v = negative ? -v : v;
  if (v > INT_MAX || v < INT_MIN) return false;
  value = v;
  return true;
}

// Builds a new text rather than replacing in place, which would move the tail of
// a large stream map once per occurrence.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  size_t pos = text.find(from);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  size_t last = 0;
  for (; pos != std::string::npos; pos = text.find(from, last)) {
    out.append(text, last, pos - last);
    out += to;
    last = pos + from.size();
  }
  out.append(text, last, std::string::npos);
  text.swap(out);
}

// Lines split at CR LF, CR or LF; a final break makes no empty line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace

std::string QualityName(const std::string& itag) {
  long long code = 0;
  if (ParseInt(itag, code)) {
    switch (code) {
      case 5:
        return "FLV (320*240)";
      case 18:
        return "MP4 (240p)";
      case 22:
        return "MP4 HD (720p)";
      case 34:
        return "FLV (360p)";
      case 35:
        return "FLV HQ (480p)";
      default:
        break;
    }
  }
  return "undefined (" + itag + ")";
}

void ParseWatchPage(const std::string& page, std::vector<std::string>& lines, std::string& title,
                    std::string& lengthText) {
  std::vector<std::string> maps;
  MatchAll(page, "\"url_encoded_fmt_stream_map\": \".*?\"", maps);
  const std::string streamMap = maps.empty() ? std::string() : maps.front();

  std::string streams = MatchAllText(streamMap, "=http.....*?[,\"]");

  title = resolve::TrimControl(
      TextBetween(MatchAllText(page, "<title>.*?</title>"), "<title>", "- YouTube"));
  lengthText = resolve::TrimControl(
      TextBetween(MatchAllText(page, "\"length_seconds\": [0-9]+?,"), "\"length_seconds\": ", ","));

  // Order matters: "%252" becomes "%2" only after "%2F" was decoded, so a doubly
  // encoded escape ends up singly encoded.
  ReplaceAll(streams, "\\/", "/");
  ReplaceAll(streams, "\\u0026", "&");
  ReplaceAll(streams, "%3A", ":");
  ReplaceAll(streams, "%2F", "/");
  ReplaceAll(streams, "%3D", "=");
  ReplaceAll(streams, "%252", "%2");
  ReplaceAll(streams, "%3F", "?");
  ReplaceAll(streams, "%26", "&");

  lines = SplitLines(streams);
  for (auto& line : lines) {
    size_t p = line.find("&quality=");
    if (p == std::string::npos) continue;
    std::string itag = TextBetween(line, "&itag=", "&");
    // The address runs from after the leading "=" up to "&quality=".
    std::string address = p >= 1 ? line.substr(1, p - 1) : std::string();
    line = "Quality: " + QualityName(itag) + ", URL: " + address;
  }
}

void ReadWatchPage(const std::string& page, TQualityList& qualities, std::string& title,
                   std::string& lengthText) {
  std::vector<std::string> lines;
  ParseWatchPage(page, lines, title, lengthText);

  // This platform's code page is UTF-8: valid bytes stay as they are.
  title = UrlDecode(title);
  if (!resolve::IsValidUtf8(title)) title.clear();

  qualities.clear();
  qualities.reserve(lines.size());
  for (const auto& line : lines) {
    if (line.empty()) continue;
    // A line without ", URL:" holds no address (an entry without "&quality="):
    // it is dropped rather than turned into a stream made of scraps of text.
    size_t p = resolve::UpperAscii(line).find(", URL:");
    if (p == std::string::npos) continue;
    TQuality q;
    q.Link.Url = resolve::TrimControl(line.substr(p + 6));
    q.Name = p > 9 ? line.substr(9, p - 9) : std::string();
    q.Link.Ext = resolve::UpperAscii(q.Name).find("FLV") != std::string::npos ? ".flv" : ".mp4";
    qualities.push_back(std::move(q));
  }
}

namespace resolve {

bool IsValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    unsigned long cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace resolve
