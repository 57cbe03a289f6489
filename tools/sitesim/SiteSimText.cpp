#include "tools/sitesim/SiteSimText.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace sitesim {
namespace detail {

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

std::map<std::string, std::string> ParseQuery(const std::string& query) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    std::string part = query.substr(pos, amp - pos);
    size_t eq = part.find('=');
    std::string key = PercentDecode(part.substr(0, eq));
    std::string value =
        eq == std::string::npos ? std::string() : PercentDecode(part.substr(eq + 1));
    if (!key.empty() && !out.count(key)) out[key] = value;
    pos = amp + 1;
  }
  return out;
}

std::string HttpDate(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return buf;
}

std::string Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 407:
      return "Proxy Authentication Required";
    case 416:
      return "Range Not Satisfiable";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string Base64(const std::string& in) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v =
        (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += abc[v >> 18], out += abc[(v >> 12) & 63], out += abc[(v >> 6) & 63], out += abc[v & 63];
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += abc[v >> 18], out += abc[(v >> 12) & 63], out += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += abc[v >> 18], out += abc[(v >> 12) & 63], out += abc[(v >> 6) & 63], out += '=';
  }
  return out;
}

std::string GzipOf(const std::string& data) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out;
  out.resize(deflateBound(&zs, data.size()) + 32);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

std::string DefaultQuality(int itag) {
  switch (itag) {
    case 22:
      return "hd720";
    case 35:
      return "large";
    case 5:
      return "small";
    default:
      return "medium";
  }
}

bool ParseHead(const std::string& head, TRequest& req) {
  size_t lineEnd = head.find("\r\n");
  std::string line = head.substr(0, lineEnd);
  size_t a = line.find(' ');
  size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (a == std::string::npos || b == std::string::npos) return false;
  req.Method = line.substr(0, a);
  req.Target = line.substr(a + 1, b - a - 1);
  req.Version = line.substr(b + 1);
  size_t pos = lineEnd + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos || end == pos) break;
    std::string h = head.substr(pos, end - pos);
    size_t colon = h.find(':');
    if (colon != std::string::npos) {
      std::string value = h.substr(colon + 1);
      size_t f = value.find_first_not_of(" \t");
      size_t l = value.find_last_not_of(" \t");
      value = f == std::string::npos ? std::string() : value.substr(f, l - f + 1);
      req.Headers.emplace_back(h.substr(0, colon), value);
    }
    pos = end + 2;
  }
  return !req.Method.empty() && !req.Target.empty();
}

bool ParseRange(const std::string& header, int64_t size, int64_t& first, int64_t& last,
                bool& unsatisfiable) {
  unsatisfiable = false;
  std::string h = header;
  if (Lower(h.substr(0, 6)) != "bytes=") return false;
  h = h.substr(6);
  if (h.find(',') != std::string::npos) return false;
  size_t dash = h.find('-');
  if (dash == std::string::npos) return false;
  std::string a = h.substr(0, dash), b = h.substr(dash + 1);
  auto num = [](const std::string& s, int64_t& v) {
    if (s.empty() || s.size() > 18) return false;
    v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    return true;
  };
  if (a.empty()) {  // suffix range
    int64_t n;
    if (!num(b, n)) return false;
    if (n == 0 || size == 0) return unsatisfiable = true, false;
    first = std::max<int64_t>(0, size - n);
    last = size - 1;
    return true;
  }
  if (!num(a, first)) return false;
  if (b.empty()) {
    last = size - 1;
  } else if (!num(b, last) || last < first) {
    return false;
  }
  if (first >= size) return unsatisfiable = true, false;
  last = std::min(last, size - 1);
  return true;
}

}  // namespace detail

using detail::Lower;
using detail::Mix;

void GenerateBytes(uint32_t seed, uint64_t offset, char* out, size_t length) {
  for (size_t i = 0; i < length;) {
    uint64_t pos = offset + i;
    uint64_t word = Mix((static_cast<uint64_t>(seed) << 40) ^ (pos >> 3));
    unsigned shift = static_cast<unsigned>(pos & 7) * 8;
    out[i++] = static_cast<char>((word >> shift) & 0xFF);
  }
}

std::string GeneratedBytes(uint32_t seed, uint64_t offset, size_t length) {
  std::string s(length, '\0');
  GenerateBytes(seed, offset, s.data(), length);
  return s;
}

std::string PercentEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string TRequest::Header(const std::string& name) const {
  std::string key = Lower(name);
  for (const auto& [k, v] : Headers)
    if (Lower(k) == key) return v;
  return {};
}

bool TRequest::HasHeader(const std::string& name) const {
  std::string key = Lower(name);
  for (const auto& h : Headers)
    if (Lower(h.first) == key) return true;
  return false;
}

}  // namespace sitesim
