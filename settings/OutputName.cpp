#include "settings/OutputName.h"

#include <cstdio>

#include "platform/Files.h"

namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
}

// Blanks, dots and control characters only.
bool IsBlankName(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) > ' ' && c != '.') return false;
  return true;
}

// Length of the well-formed UTF-8 character at s[at], 0 when none starts there
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, cut short).
size_t Utf8CharLength(const std::string& s, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = byte(at);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned long cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (at + n > s.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(at + i) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

}  // namespace

std::string PrintableFileText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t n = Utf8CharLength(text, at);
    if (n == 0) {
      out += '_';  // a byte that is no character
      ++at;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[at]);
    // C0 controls, DEL and the C1 controls (U+0080..U+009F, C2 80..C2 9F).
    const bool control = c < 0x20 || c == 0x7F ||
                         (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
    if (control)
      out += ' ';
    else
      out.append(text, at, n);
    at += n;
  }
  return out;
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string FitFileName(const std::string& base, const std::string& suffix) {
  if (suffix.size() >= kMaxFileNameBytes) return CutUtf8(base + suffix, kMaxFileNameBytes);
  return CutUtf8(base, kMaxFileNameBytes - suffix.size()) + suffix;
}

std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return MakeOutputName(rule, title, ext, local);
}

std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext,
                           const std::tm& date) {
  // A rule that was never loaded has no separator; a zero byte must not reach a name.
  const char sep = rule.Separator ? rule.Separator : '_';
  std::string name;
  if (!rule.Prefix.empty()) name += rule.Prefix + sep;
  if (rule.IncludeName) name += title + sep;
  if (rule.IncludeDate) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", date.tm_year + 1900, date.tm_mday,
                  date.tm_mon + 1);
    name += std::string(buf) + sep;
  }
  if (!rule.Postfix.empty()) name += rule.Postfix + sep;
  if (name.empty()) name = title + ".";
  name.pop_back();  // the trailing separator, or the dot just added

  ReplaceAll(name, "http://", "");
  ReplaceAll(name, "\r\n", " ");
  for (char& c : name) {
    switch (c) {
      case '/':
      case ':':
      case '*':
      case '?':
      case '\\':
      case '"':
      case '>':
      case '<':
      case '|':
        c = ' ';
        break;
      default:
        break;
    }
  }
  // Whatever a page or a link decoded to, the name must be one that a file can
  // have and a desktop can show: printable UTF-8, no leading dot (a hidden
  // file), at most 255 bytes, cut at a character boundary keeping the extension.
  name = PrintableFileText(name);
  const size_t lead = name.find_first_not_of(". ");
  name.erase(0, lead == std::string::npos ? name.size() : lead);
  if (IsBlankName(name)) name = "Unknown";
  std::string safeExt = CutUtf8(PrintableFileText(ext), kMaxExtBytes);
  for (char& c : safeExt)
    if (c == '/' || c == ' ') c = '_';
  return FitFileName(name, safeExt);
}

std::string UniquePath(const std::string& path) {
  const std::string ext = platform::ExtractFileExt(path);
  const std::string folder = platform::ExtractFilePath(path);
  std::string base = platform::ExtractFileName(path);
  base.resize(base.size() - ext.size());
  std::string candidate = path;
  for (unsigned long long n = 0; platform::FileExists(candidate); ++n)
    candidate = folder + base + std::to_string(n) + ext;
  return candidate;
}
