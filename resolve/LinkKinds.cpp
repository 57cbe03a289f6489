#include "resolve/LinkKinds.h"

#include <algorithm>

#include "platform/Text.h"
#include "resolve/youparse.h"

namespace {

const char* const kVideoExtensions[] = {"avi", "mp4",  "mov", "wmv", "flv",
                                        "mpg", "mpeg", "3gp", "3g2", "m4v"};

// What a direct link may end in: the file picker's audio and video types and a
// few more that the encoder reads as well.
const char* const kMediaExtensions[] = {"mp3", "ogg", "wav",  "wma", "m4a",  "ac3",  "avi",
                                        "mp4", "mov", "wmv",  "flv", "mpg",  "mpeg", "3gp",
                                        "3g2", "m4v", "webm", "mkv", "opus", "flac", "aac"};

}  // namespace

namespace resolve {

std::string DirectLinkPath(const std::string& text) {
  const std::string link = platform::TrimBlanks(text);
  for (char c : link)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return {};
  const std::string lower = platform::AsciiLower(link);
  size_t at = 0;
  if (lower.rfind("http://", 0) == 0)
    at = 7;
  else if (lower.rfind("https://", 0) == 0)
    at = 8;
  else
    return {};
  const size_t pathAt = link.find_first_of("/?#", at);
  std::string authority = link.substr(at, pathAt == std::string::npos ? pathAt : pathAt - at);
  authority =
      authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  if (authority.empty() || authority[0] == ':') return {};
  if (pathAt == std::string::npos || link[pathAt] != '/') return {};
  return link.substr(pathAt, link.find_first_of("?#", pathAt) - pathAt);
}

std::string MediaExtension(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  const std::string ext = name.substr(dot + 1);
  for (const char* media : kMediaExtensions)
    if (platform::AsciiLower(ext) == media) return ext;
  return {};
}

bool IsVideoExtension(const std::string& ext) {
  for (const char* video : kVideoExtensions)
    if (platform::AsciiLower(ext) == video) return true;
  return false;
}

// The bytes are the name's UTF-8, as every text of a job is.
std::string PercentDecodePath(const std::string& text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace resolve

std::string LinkVideoId(const std::string& link) {
  const std::string prefix = std::string(SiteRoot) + "watch?v=";
  const size_t at = link.find(prefix);
  const size_t start =
      std::min(link.size(), at == std::string::npos ? prefix.size() - 1 : at + prefix.size());
  const size_t end = link.find('&', start);
  return link.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string VideoInfoUrl(const std::string& videoId) {
  return std::string(SiteRoot) + "get_video_info?video_id=" + videoId;
}

bool IsVideoFile(const std::string& path) {
  const size_t at = path.find_last_of("./");
  if (at == std::string::npos || path[at] != '.') return false;
  const std::string ext = path.substr(at + 1);
  for (const char* video : kVideoExtensions)
    if (ext == video) return true;
  return false;
}

bool IsSiteLink(const std::string& text) {
  return text.find(SiteRoot) != std::string::npos;
}

bool IsDirectMediaLink(const std::string& text) {
  return !IsSiteLink(text) && !resolve::MediaExtension(resolve::DirectLinkPath(text)).empty();
}
