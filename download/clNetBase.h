#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct TcvOptions;

// What every HTTP client of the program shares, whatever it fetches: the one
// start-up of libcurl, the proxy record made from the options and the agents sent.
// The page fetcher (resolve/) and the download transport (clWinInet) both use it.
namespace net {

// Starts libcurl once for the process (its global start-up is not thread-safe);
// every client calls it before its first handle.
void InitCurl();

// The head of each response curl reports to a header callback, one line per call:
// interim, redirect and final heads arrive in turn, each starting at its status line.
struct TResponseHead {
  int Status = 0;
  std::vector<std::string> Lines;  // the status line first; empty before one came

  // Takes one line as curl hands it over; true at the blank line that ends a head.
  bool Feed(const char* data, size_t size);
  bool IsInterim() const { return Status >= 100 && Status < 200; }
  // The value of the first header called name (case-insensitive), blanks trimmed.
  std::optional<std::string> Header(const std::string& name) const;
};

// The proxy of the options. With IsProxy off the platform's configured proxy
// applies (the standard http_proxy/https_proxy/no_proxy environment).
struct TProxyRecord {
  bool IsProxy = false;
  std::string ProxyAdress;  // host
  int ProxyPort = 0;
  std::string ProxyUser;
  std::string ProxyPassword;
};

// The record of the proxy options (host, port and credentials as typed).
TProxyRecord ProxyOf(const TcvOptions& options);

// "host:port" as handed to the HTTP layer, also when the port is 0.
std::string ProxyText(const TProxyRecord& proxy);

// The browser identity every page fetch sends.
extern const char* const kPageUserAgent;
// The identity of the download engine's requests.
extern const char* const kDownloadUserAgent;

}  // namespace net
