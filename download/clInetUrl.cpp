// URL cracking and creation of the handle layer: pure text work, no curl.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

#include "download/clInetErrors.h"
#include "download/clWinInet.h"
#include "platform/Text.h"

namespace wininet {
namespace {

using detail::LastError;

struct SchemeInfo {
  const char* name;
  int type;
  int port;
  bool hierarchical;
};

const SchemeInfo kSchemes[] = {
    {"ftp", INTERNET_SCHEME_FTP, 21, true},
    {"gopher", INTERNET_SCHEME_GOPHER, 70, true},
    {"http", INTERNET_SCHEME_HTTP, 80, true},
    {"https", INTERNET_SCHEME_HTTPS, 443, true},
    {"file", INTERNET_SCHEME_FILE, 0, true},
    {"news", INTERNET_SCHEME_NEWS, 119, false},
    {"mailto", INTERNET_SCHEME_MAILTO, 0, false},
    {"socks", INTERNET_SCHEME_SOCKS, 1080, true},
    {"javascript", INTERNET_SCHEME_JAVASCRIPT, 0, false},
    {"vbscript", INTERNET_SCHEME_VBSCRIPT, 0, false},
    {"res", INTERNET_SCHEME_RES, 0, false},
};

const SchemeInfo* FindScheme(const std::string& name) {
  for (const auto& s : kSchemes)
    if (platform::IEqualsAscii(name, s.name)) return &s;
  return nullptr;
}

const SchemeInfo* FindScheme(int type) {
  for (const auto& s : kSchemes)
    if (s.type == type) return &s;
  return nullptr;
}

}  // namespace

bool InternetCrackUrl(const std::string& url, URL_COMPONENTS& uc) {
  URL_COMPONENTS blank;
  uc.nScheme = INTERNET_SCHEME_UNKNOWN;
  uc.nPort = 0;
  uc.scheme = uc.hostName = uc.userName = uc.password = uc.urlPath = uc.extraInfo = "";
  auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) {
    LastError() = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return false;
  }
  std::string scheme = url.substr(0, colon);
  const SchemeInfo* info = FindScheme(scheme);
  if (!info) {
    LastError() = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return false;
  }
  std::string rest = url.substr(colon + 1);
  std::string host, user, password, path, extra;
  int port = info->port;
  if (info->hierarchical) {
    if (rest.rfind("//", 0) != 0) {
      LastError() = ERROR_INTERNET_INVALID_URL;
      return false;
    }
    rest = rest.substr(2);
    size_t end = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end);
    auto at = authority.rfind('@');
    if (at != std::string::npos) {
      std::string userInfo = authority.substr(0, at);
      authority = authority.substr(at + 1);
      auto c = userInfo.find(':');
      user = userInfo.substr(0, c);
      if (c != std::string::npos) password = userInfo.substr(c + 1);
    }
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
      auto close = authority.find(']');
      if (close == std::string::npos) {
        LastError() = ERROR_INTERNET_INVALID_URL;
        return false;
      }
      host = authority.substr(1, close - 1);
      // Only an IPv6 literal goes in brackets: it has colons, and no bracket.
      if (host.find(':') == std::string::npos || host.find('[') != std::string::npos) {
        LastError() = ERROR_INTERNET_INVALID_URL;
        return false;
      }
      std::string after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') {
          LastError() = ERROR_INTERNET_INVALID_URL;
          return false;
        }
        portText = after.substr(1);
      }
    } else {
      auto c = authority.rfind(':');
      host = authority.substr(0, c);
      if (c != std::string::npos) portText = authority.substr(c + 1);
      // Colons and brackets belong to a bracketed IPv6 literal only; taken as a
      // host name they would be rebuilt as a different, unparsable URL.
      if (host.find_first_of(":[]") != std::string::npos) {
        LastError() = ERROR_INTERNET_INVALID_URL;
        return false;
      }
    }
    if (!portText.empty()) {
      if (portText.size() > 5 ||
          !std::all_of(portText.begin(), portText.end(),
                       [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); }) ||
          std::atoi(portText.c_str()) > 65535) {
        LastError() = ERROR_INTERNET_INVALID_URL;
        return false;
      }
      port = std::atoi(portText.c_str());
    }
    // Blanks and control characters cannot be part of a host name (and the URL
    // parser trims them off the rebuilt URL's end, which could drop the host).
    auto unfit = [](char ch) { return static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7F; };
    if (std::any_of(host.begin(), host.end(), unfit)) {
      LastError() = ERROR_INTERNET_INVALID_URL;
      return false;
    }
    if (host.empty() && info->type != INTERNET_SCHEME_FILE) {
      LastError() = ERROR_INTERNET_INVALID_URL;
      return false;
    }
  }
  size_t q = rest.find_first_of("?#");
  path = rest.substr(0, q);
  if (q != std::string::npos) extra = rest.substr(q);
  const std::pair<const std::string*, size_t> fits[] = {
      {&scheme, uc.schemeCapacity}, {&host, uc.hostNameCapacity},
      {&user, uc.userNameCapacity}, {&password, uc.passwordCapacity},
      {&path, uc.urlPathCapacity},  {&extra, uc.extraInfoCapacity}};
  for (const auto& [text, capacity] : fits) {
    if (text->size() + 1 > capacity) {
      LastError() = ERROR_INSUFFICIENT_BUFFER;
      return false;
    }
  }
  uc.nScheme = info->type;
  uc.scheme = scheme;
  uc.hostName = host;
  uc.userName = user;
  uc.password = password;
  uc.urlPath = path;
  uc.extraInfo = extra;
  uc.nPort = port;
  LastError() = 0;
  return true;
}

bool InternetCreateUrl(const URL_COMPONENTS& uc, std::string& url, size_t bufferSize) {
  const SchemeInfo* info = uc.scheme.empty() ? FindScheme(uc.nScheme) : FindScheme(uc.scheme);
  std::string scheme = uc.scheme.empty() ? (info ? info->name : "") : uc.scheme;
  if (scheme.empty()) {
    LastError() = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return false;
  }
  std::string out = scheme + ":";
  if (!info || info->hierarchical) {
    out += "//";
    if (!uc.userName.empty()) {
      out += uc.userName;
      if (!uc.password.empty()) out += ":" + uc.password;
      out += "@";
    }
    bool v6 = uc.hostName.find(':') != std::string::npos;
    out += v6 ? "[" + uc.hostName + "]" : uc.hostName;
    if (uc.nPort != 0 && (!info || uc.nPort != info->port)) out += ":" + std::to_string(uc.nPort);
  }
  out += uc.urlPath + uc.extraInfo;
  if (out.size() + 1 > bufferSize) {
    LastError() = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  url = out;
  LastError() = 0;
  return true;
}

}  // namespace wininet
