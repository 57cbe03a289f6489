#include "download/clNetBase.h"

#include <curl/curl.h>

#include <cstdlib>
#include <mutex>

#include "download/clInetHeaders.h"
#include "settings/Settings.h"

namespace net {

const char* const kPageUserAgent =
    "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; Trident/4.0; MRSPUTNIK 2, 1, 0, 8 SW; "
    ".NET CLR 1.1.4322; .NET CLR 2.0.50727; .NET CLR 3.0.04506.648; .NET CLR 3.5.21022)";
const char* const kDownloadUserAgent = "Mozilla/4.0 (compatible; Vantorel Download Engine 1.0)";

void InitCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool TResponseHead::Feed(const char* data, size_t size) {
  std::string line(data, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    Lines = {line};
    Status = 0;
    auto sp = line.find(' ');
    if (sp != std::string::npos) Status = std::atoi(line.c_str() + sp + 1);
    return false;
  }
  if (line.empty()) return true;
  if (!Lines.empty()) Lines.push_back(line);
  return false;
}

std::optional<std::string> TResponseHead::Header(const std::string& name) const {
  return wininet::detail::FindHeader(Lines, name);
}

TProxyRecord ProxyOf(const TcvOptions& options) {
  return {options.IsProxy, options.ProxyAdress, options.ProxyPort, options.ProxyUser,
          options.ProxyPassword};
}

std::string ProxyText(const TProxyRecord& proxy) {
  return proxy.ProxyAdress + ":" + std::to_string(proxy.ProxyPort);
}

}  // namespace net
