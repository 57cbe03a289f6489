#pragma once
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "download/clNetBase.h"
#include "download/clStreams.h"
#include "download/clWinInet.h"

enum TclAuthenticationType { atBasic, atAutoDetect };

struct TclHttpProxySettings {
  TclAuthenticationType AuthenticationType = atAutoDetect;
  std::string UserName;
  std::string Password;
  std::string Server;
  int Port = 8080;
};

// The options' proxy record as the engine's HTTP proxy: server, port and credentials
// are taken when the record's proxy is on; otherwise the settings stay as they are.
void ApplyProxyRecord(const net::TProxyRecord& proxy, TclHttpProxySettings& settings);

enum TclFtpProxyType { ptNone, ptUserSite, ptSite, ptOpen, ptUserPass, ptTransparent };

// Carried along with the HTTP settings; serves ftp URLs only.
struct TclFtpProxySettings {
  TclFtpProxyType ProxyType = ptNone;
  std::string UserName;
  std::string Password;
  std::string Server;
  int Port = 21;
};

// Parses and normalizes a URL: a text without a recognized scheme is taken as
// "http://" + text, blanks become "%20". Components obey the cracking buffers
// (host 255, user name and password 127, path 2047, extra 1023 characters).
class TclUrlParser {
 public:
  // Called with the cracked components before they are stored; it may change them.
  using TParseHook = std::function<void(wininet::URL_COMPONENTS&)>;

  virtual ~TclUrlParser() = default;

  // Returns the normalized URL, or "" when it cannot be parsed.
  std::string Parse(const std::string& url);
  void Clear();

  int SchemeType = 0;  // 1 ftp, 3 http, 4 https; 0 unknown
  std::string Host;
  std::string UserName;
  std::string Password;
  std::string UrlPath;
  std::string ExtraInfo;  // the query part, starting with "?"
  int Port = 0;
  std::string ParsedUrl;  // empty until a parse succeeds
  TParseHook OnParse;

  // Path plus query part: the object of a request.
  std::string RequestObject() const { return UrlPath + ExtraInfo; }
};

// Proxy text for the open call of a URL's scheme ("" = no proxy: use the
// preconfigured access type), made as "%s=%s:%d".
std::string GetProxyString(int schemeType, const TclHttpProxySettings& http,
                           const TclFtpProxySettings& ftp);

// "Basic " + Base64(user[:]password); the colon only with a non-empty user name.
std::string GetBasicAuthorization(const std::string& userName, const std::string& password);
// The Basic value when one of the challenges is "basic" (any case), else "".
std::string GetBasicAuthorization(const std::vector<std::string>& challenges,
                                  const std::string& userName, const std::string& password);
std::string EncodeBase64(const std::string& data);

// Error text of a platform code: the message without trailing blanks, control
// characters and periods; 12003 appends the server's extended text; unknown codes
// read "Unknown error, code = N".
std::string GetInternetErrorText(int code);

class EclZLibError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Write-only stream that decodes gzip data written into it, member after member,
// and writes the plain bytes to the destination in chunks of at most 16 KiB.
class TclGZipInflateStream : public TclStream {
 public:
  static constexpr size_t kChunkSize = 16384;

  explicit TclGZipInflateStream(TclStream& destination);
  ~TclGZipInflateStream() override;
  TclGZipInflateStream(const TclGZipInflateStream&) = delete;
  TclGZipInflateStream& operator=(const TclGZipInflateStream&) = delete;

  size_t Read(void* buffer, size_t count) override { return 0; }
  // Raises EclZLibError on corrupt data or a trailer mismatch.
  size_t Write(const void* buffer, size_t count) override;
  // Succeeds only to the current total ("Invalid Stream operation" otherwise).
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return total_; }
  void SetSize(int64_t size) override;

  // Call after the last write: raises EclZLibError when a member was cut short.
  void Finish();
  int64_t TotalWritten() const { return total_; }

 private:
  enum class TPhase { Header, Body, Trailer };
  void ResetMember();
  // Consumes header bytes from data; returns how many were used.
  size_t ParseHeader(const uint8_t* data, size_t count);

  TclStream& destination_;
  z_stream zs_{};
  TPhase phase_ = TPhase::Header;
  std::string header_;
  std::string trailer_;
  uint32_t crc_ = 0;
  uint64_t outCount_ = 0;
  int64_t total_ = 0;
  std::vector<uint8_t> out_;
};
