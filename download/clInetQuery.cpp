// HttpQueryInfo: the final response's status and headers as text, number or time.
#include <ctime>
#include <map>

#include "download/clInetHandles.h"
#include "download/clInetHeaders.h"
#include "platform/Text.h"

namespace wininet {

using namespace detail;

bool HttpQueryInfo(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* length, DWORD* index) {
  auto r = LookupAs<RequestHandle>(request, Kind::Request);
  if (!r) return false;
  if (!length) {
    LastError() = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!r->headersDone) {
    LastError() = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return false;
  }
  DWORD level = infoLevel & ~HTTP_QUERY_MODIFIER_FLAGS_MASK;
  DWORD mods = infoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
  DWORD occurrence = index ? *index : 0;
  std::optional<std::string> text;
  switch (level) {
    case HTTP_QUERY_RAW_HEADERS_CRLF: {
      std::string all;
      for (const auto& line : r->finalLines) all += line + "\r\n";
      text = all + "\r\n";
      break;
    }
    case HTTP_QUERY_STATUS_CODE:
      text = std::to_string(r->finalStatus);
      break;
    case HTTP_QUERY_STATUS_TEXT: {
      const std::string& line = r->finalLines.empty() ? std::string() : r->finalLines[0];
      auto sp = line.find(' ');
      sp = sp == std::string::npos ? sp : line.find(' ', sp + 1);
      text = sp == std::string::npos ? std::string() : line.substr(sp + 1);
      break;
    }
    default: {
      static const std::map<DWORD, const char*> kNames = {
          {HTTP_QUERY_CONTENT_TYPE, "Content-Type"},
          {HTTP_QUERY_CONTENT_LENGTH, "Content-Length"},
          {HTTP_QUERY_LAST_MODIFIED, "Last-Modified"},
          {HTTP_QUERY_CONTENT_ENCODING, "Content-Encoding"},
          {HTTP_QUERY_LOCATION, "Location"},
          {HTTP_QUERY_ACCEPT_RANGES, "Accept-Ranges"},
          {HTTP_QUERY_CONTENT_DISPOSITION, "Content-Disposition"},
          {HTTP_QUERY_CONTENT_RANGE, "Content-Range"},
      };
      std::string name;
      if (level == HTTP_QUERY_CUSTOM) {
        if (!buffer) {
          LastError() = ERROR_INVALID_PARAMETER;
          return false;
        }
        name = std::string(static_cast<const char*>(buffer),
                           strnlen(static_cast<const char*>(buffer), *length));
      } else {
        auto it = kNames.find(level);
        if (it == kNames.end()) {
          LastError() = ERROR_HTTP_HEADER_NOT_FOUND;
          return false;
        }
        name = it->second;
      }
      text = FindHeader(r->finalLines, name, occurrence);
    }
  }
  if (!text) {
    LastError() = ERROR_HTTP_HEADER_NOT_FOUND;
    return false;
  }
  bool ok;
  if (mods & HTTP_QUERY_FLAG_SYSTEMTIME) {
    time_t t = curl_getdate(text->c_str(), nullptr);
    if (t == -1) {
      LastError() = ERROR_HTTP_INVALID_HEADER;
      return false;
    }
    std::tm tm{};
    gmtime_r(&t, &tm);
    SYSTEMTIME st;
    st.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    st.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    st.wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    st.wDay = static_cast<uint16_t>(tm.tm_mday);
    st.wHour = static_cast<uint16_t>(tm.tm_hour);
    st.wMinute = static_cast<uint16_t>(tm.tm_min);
    st.wSecond = static_cast<uint16_t>(tm.tm_sec);
    ok = CopyValue(st, buffer, length);
  } else if (mods & (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64)) {
    auto n = ParseLength(platform::TrimBlanks(*text));
    bool wide = mods & HTTP_QUERY_FLAG_NUMBER64;
    if (!n || (!wide && *n > 0xFFFFFFFFLL)) {
      LastError() = ERROR_HTTP_INVALID_HEADER;
      return false;
    }
    ok = wide ? CopyValue(static_cast<int64_t>(*n), buffer, length)
              : CopyValue(static_cast<DWORD>(*n), buffer, length);
  } else {
    ok = CopyOut(*text, buffer, length);
  }
  if (ok) {
    if (index) ++*index;
    LastError() = 0;
  }
  return ok;
}

}  // namespace wininet
