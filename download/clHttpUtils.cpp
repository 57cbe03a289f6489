#include "download/clHttpUtils.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace {}  // namespace

void TclUrlParser::Clear() {
  SchemeType = 0;
  Host.clear();
  UserName.clear();
  Password.clear();
  UrlPath.clear();
  ExtraInfo.clear();
  Port = 0;
  ParsedUrl.clear();
}

std::string TclUrlParser::Parse(const std::string& urlText) {
  const std::string url = urlText;  // may be one of the fields Clear() empties
  Clear();
  wininet::URL_COMPONENTS uc;
  if (!wininet::InternetCrackUrl(url, uc)) {
    if (url.empty() || wininet::GetLastError() != wininet::ERROR_INTERNET_UNRECOGNIZED_SCHEME)
      return "";
    if (!wininet::InternetCrackUrl("http://" + url, uc)) return "";
  }
  if (uc.nScheme >= 0 && uc.nScheme < wininet::INTERNET_SCHEME_SOCKS) SchemeType = uc.nScheme;
  if (OnParse) OnParse(uc);
  Host = uc.hostName;
  UserName = uc.userName;
  Password = uc.password;
  UrlPath = uc.urlPath;
  ExtraInfo = uc.extraInfo;
  Port = uc.nPort;
  std::string rebuilt;
  if (!wininet::InternetCreateUrl(uc, rebuilt, 2055)) return "";
  rebuilt = platform::TrimBlanks(rebuilt);
  std::string result;
  for (char c : rebuilt) result += c == ' ' ? std::string("%20") : std::string(1, c);
  ParsedUrl = result;
  return result;
}

std::string GetProxyString(int schemeType, const TclHttpProxySettings& http,
                           const TclFtpProxySettings& ftp) {
  std::string name, server;
  int port;
  switch (schemeType) {
    case wininet::INTERNET_SCHEME_FTP:
      name = "ftp", server = ftp.Server, port = ftp.Port;
      break;
    case wininet::INTERNET_SCHEME_HTTP:
      name = "http", server = http.Server, port = http.Port;
      break;
    case wininet::INTERNET_SCHEME_HTTPS:
      name = "https", server = http.Server, port = http.Port;
      break;
    default:
      return "";
  }
  if (server.empty()) return "";
  std::string lower = platform::AsciiLower(server);
  if (lower.rfind("http", 0) != 0 && lower.rfind("ftp", 0) != 0) server = name + "://" + server;
  return name + "=" + server + ":" + std::to_string(port);
}

std::string EncodeBase64(const std::string& data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(data[k])); };
  for (; i + 2 < data.size(); i += 3) {
    uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i + 1 == data.size()) {
    uint32_t v = byte(i) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == data.size()) {
    uint32_t v = byte(i) << 16 | byte(i + 1) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += "=";
  }
  return out;
}

std::string GetBasicAuthorization(const std::string& userName, const std::string& password) {
  std::string text = userName.empty() ? password : userName + ":" + password;
  // One unbroken line: a header value cannot carry line breaks.
  return "Basic " + EncodeBase64(text);
}

std::string GetBasicAuthorization(const std::vector<std::string>& challenges,
                                  const std::string& userName, const std::string& password) {
  for (const auto& c : challenges)
    if (platform::AsciiLower(platform::TrimBlanks(c)) == "basic")
      return GetBasicAuthorization(userName, password);
  return "";
}

std::string GetInternetErrorText(int code) {
  std::string text = wininet::FormatErrorMessage(static_cast<wininet::DWORD>(code));
  if (text.size() > 256) text.resize(256);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.'))
    text.pop_back();
  if (code == static_cast<int>(wininet::ERROR_INTERNET_EXTENDED_ERROR)) {
    std::string extra = wininet::InternetGetLastResponseInfo();
    text += (text.empty() ? "" : "; Additional info: ") + extra;
  }
  if (text.empty()) text = "Unknown error, code = " + std::to_string(code);
  return text;
}

TclGZipInflateStream::TclGZipInflateStream(TclStream& destination)
    : destination_(destination), out_(kChunkSize) {
  if (inflateInit2(&zs_, -15) != Z_OK) throw EclZLibError("Uncompressing error - init failed");
}

TclGZipInflateStream::~TclGZipInflateStream() {
  inflateEnd(&zs_);
}

void TclGZipInflateStream::ResetMember() {
  phase_ = TPhase::Header;
  header_.clear();
  trailer_.clear();
  crc_ = 0;
  outCount_ = 0;
  inflateReset(&zs_);
}

size_t TclGZipInflateStream::ParseHeader(const uint8_t* data, size_t count) {
  // Keep at most what the header can need, so the rest stays for the body.
  size_t before = header_.size();
  header_.append(reinterpret_cast<const char*>(data), count);
  const std::string& h = header_;
  if (h.size() < 10) return count;
  uint8_t flags = static_cast<uint8_t>(h[3]);
  size_t pos = 10;
  if (flags & 4) {
    if (h.size() < pos + 2) return count;
    size_t xlen = static_cast<uint8_t>(h[pos]) | static_cast<uint8_t>(h[pos + 1]) << 8;
    pos += 2 + xlen;
    if (h.size() < pos) return count;
  }
  for (uint8_t bit : {uint8_t{8}, uint8_t{16}}) {
    if (!(flags & bit)) continue;
    size_t zero = h.find('\0', pos);
    if (zero == std::string::npos) return count;
    pos = zero + 1;
  }
  if (flags & 2) {
    pos += 2;
    if (h.size() < pos) return count;
  }
  phase_ = TPhase::Body;
  size_t used = pos - before;  // header bytes that came from this write
  header_.clear();
  return used;
}

size_t TclGZipInflateStream::Write(const void* buffer, size_t count) {
  total_ += static_cast<int64_t>(count);
  const uint8_t* data = static_cast<const uint8_t*>(buffer);
  size_t left = count;
  while (left > 0) {
    if (phase_ == TPhase::Header) {
      size_t used = ParseHeader(data, left);
      data += used;
      left -= used;
      continue;
    }
    if (phase_ == TPhase::Trailer) {
      size_t take = std::min(left, 8 - trailer_.size());
      trailer_.append(reinterpret_cast<const char*>(data), take);
      data += take;
      left -= take;
      if (trailer_.size() < 8) break;
      auto le32 = [&](size_t at) {
        const auto* t = reinterpret_cast<const uint8_t*>(trailer_.data()) + at;
        return uint32_t{t[0]} | uint32_t{t[1]} << 8 | uint32_t{t[2]} << 16 | uint32_t{t[3]} << 24;
      };
      if (le32(0) != crc_) throw EclZLibError("Uncompressing error - invalid crc");
      // The size field holds the length modulo 2^32.
      if (le32(4) != static_cast<uint32_t>(outCount_))
        throw EclZLibError("Uncompressing error - invalid data size");
      ResetMember();  // what follows in this write starts the next member
      continue;
    }
    zs_.next_in = const_cast<Bytef*>(data);
    zs_.avail_in = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
    size_t offered = zs_.avail_in;
    int rc;
    do {
      zs_.next_out = out_.data();
      zs_.avail_out = static_cast<uInt>(out_.size());
      rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
        std::string msg = zs_.msg ? zs_.msg : "error " + std::to_string(rc);
        throw EclZLibError("Uncompressing error - " + msg);
      }
      size_t produced = out_.size() - zs_.avail_out;
      if (produced) {
        crc_ = static_cast<uint32_t>(crc32(crc_, out_.data(), static_cast<uInt>(produced)));
        outCount_ += produced;
        destination_.WriteBuffer(out_.data(), produced);
      }
    } while (rc == Z_OK && (zs_.avail_in > 0 || zs_.avail_out == 0));
    size_t consumed = offered - zs_.avail_in;
    data += consumed;
    left -= consumed;
    if (rc == Z_STREAM_END) phase_ = TPhase::Trailer;
  }
  return count;
}

void TclGZipInflateStream::Finish() {
  if (phase_ == TPhase::Header && header_.empty()) return;
  throw EclZLibError("Uncompressing error - unexpected end of data");
}

int64_t TclGZipInflateStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t target = origin == soBeginning ? offset : total_ + offset;
  if (target != total_) throw EclStreamError("Invalid Stream operation");
  return total_;
}

void TclGZipInflateStream::SetSize(int64_t size) {
  throw EclStreamError("Invalid Stream operation");
}

void ApplyProxyRecord(const net::TProxyRecord& proxy, TclHttpProxySettings& settings) {
  if (!proxy.IsProxy) return;
  settings.Server = proxy.ProxyAdress;
  settings.Port = proxy.ProxyPort;
  settings.UserName = proxy.ProxyUser;
  settings.Password = proxy.ProxyPassword;
}
