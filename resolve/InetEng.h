#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "download/clNetBase.h"

// Proxy choice of one page fetch: the network layer's proxy record. With IsProxy
// off the platform's configured proxy applies (the standard http_proxy/no_proxy
// environment).
using TFetchProxy = net::TProxyRecord;

// Limits of one fetch: a connection that cannot be made within ConnectSec, or a
// server that sends nothing for StallSec, ends the call. A fetch that has not ended
// after TotalSec, or whose body grows past MaxBodyBytes, fails: a trickling or
// endless page must not hold a resolver thread (and the link's row) for ever.
struct TFetchTimeouts {
  long ConnectSec = 60;
  long StallSec = 60;
  long TotalSec = 60;
  long long MaxBodyBytes = 32LL << 20;
};

// One blocking GET; the body is appended to sink byte for byte. True when the URL
// could be opened, whatever the HTTP status; a transfer that breaks off after the
// response began still returns true with what arrived. A fetch stopped by the
// TotalSec or MaxBodyBytes limit returns false (sink keeps the part that came) and,
// when failure is given, says which limit in *failure (else *failure is cleared).
// The url is sent as FetchAddress gives it. A fetch whose cancel flag is raised
// meanwhile ends at once, as a fetch that could not be opened.
bool InetGetStream(const std::string& url, std::ostream& sink, const TFetchProxy& proxy,
                   std::string* failure = nullptr, const std::atomic<bool>* cancel = nullptr);
// The same with the proxy of the process-wide source (see SetFetchProxySource).
bool InetGetStream(const std::string& url, std::ostream& sink);

// The fetch of a resolver: the given limits instead of the process-wide ones, and
// an overall deadline that ends the fetch earlier than TotalSec when it comes
// first. A raised cancel flag or a passed deadline ends the fetch and closes its
// connection within a twentieth of a second.
bool InetGetStream(const std::string& url, std::ostream& sink, const TFetchProxy& proxy,
                   const TFetchTimeouts& limits, std::chrono::steady_clock::time_point deadline,
                   const std::atomic<bool>* cancel, std::string* failure);
std::string InetGetText(const std::string& url, const TFetchProxy& proxy,
                        const TFetchTimeouts& limits,
                        std::chrono::steady_clock::time_point deadline,
                        const std::atomic<bool>* cancel, std::string* failure);

// The body of url, or the empty string when it cannot be opened or a limit stopped it.
std::string InetGetText(const std::string& url, const TFetchProxy& proxy,
                        std::string* failure = nullptr, const std::atomic<bool>* cancel = nullptr);
std::string InetGetText(const std::string& url, std::string* failure = nullptr);

// Percent-decoder of page titles: "+" is a blank, "%" and two characters a byte.
std::string UrlDecode(const std::string& text);

namespace resolve {

// Where the one-argument fetches take their proxy from; asked at every fetch so a
// changed option applies to the next one. The program binds it once at start-up to
// the settings record (cvOptions); without a source the proxy is off.
void SetFetchProxySource(std::function<TFetchProxy()> source);
TFetchProxy CurrentFetchProxy();

// Process-wide time limits of the fetcher (defaults 60 s each).
void SetFetchTimeouts(const TFetchTimeouts& timeouts);
TFetchTimeouts FetchTimeouts();

// A link as the fetch sends it: trimmed, inner blanks and control characters
// percent-encoded ("a b" -> "a%20b"). Copied text often ends in a line end, which
// the HTTP layer would refuse.
std::string FetchAddress(const std::string& link);

// "host:port" as handed to the HTTP layer, also when the port is 0.
using net::ProxyText;

// The browser identity every page fetch sends.
inline const char* const& kFetchUserAgent = net::kPageUserAgent;

}  // namespace resolve
