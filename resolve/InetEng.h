#pragma once
#include <functional>
#include <ostream>
#include <string>

// Proxy choice of one page fetch. With IsProxy off the platform's configured
// proxy applies (the standard http_proxy/no_proxy environment).
struct TFetchProxy {
  bool IsProxy = false;
  std::string ProxyAdress;  // host
  int ProxyPort = 0;
  std::string ProxyUser;
  std::string ProxyPassword;
};

// Time limits of one fetch: a connection that cannot be made within ConnectSec,
// or a server that sends nothing for StallSec, ends the call.
struct TFetchTimeouts {
  long ConnectSec = 60;
  long StallSec = 60;
};

// One blocking GET; the body is appended to sink byte for byte. True when the URL
// could be opened, whatever the HTTP status; a transfer that breaks off after the
// response began still returns true with what arrived.
bool InetGetStream(const std::string& url, std::ostream& sink, const TFetchProxy& proxy);
// The same with the proxy of the process-wide source (see SetFetchProxySource).
bool InetGetStream(const std::string& url, std::ostream& sink);

// The body of url, or the empty string when it cannot be opened.
std::string InetGetText(const std::string& url, const TFetchProxy& proxy);
std::string InetGetText(const std::string& url);

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

// "host:port" as handed to the HTTP layer, also when the port is 0.
std::string ProxyText(const TFetchProxy& proxy);

// The browser identity every page fetch sends.
extern const char* const kFetchUserAgent;

}  // namespace resolve
