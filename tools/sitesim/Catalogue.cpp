#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tools/sitesim/SiteSim.h"

namespace sitesim {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Backslash escapes in values so binary-ish titles fit on one line: \n \r \t \\ \xHH.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'n')
      out += '\n';
    else if (c == 'r')
      out += '\r';
    else if (c == 't')
      out += '\t';
    else if (c == 'x' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else
      out += c;
  }
  return out;
}

bool SetFaultKey(TFault& f, const std::string& key, const std::string& v) {
  auto flag = [&] { return v == "1" || Lower(v) == "true" || Lower(v) == "yes"; };
  if (key == "times")
    f.Times = std::stoi(v);
  else if (key == "get_only")
    f.GetOnly = flag();
  else if (key == "status")
    f.Status = std::stoi(v);
  else if (key == "location")
    f.Location = v;
  else if (key == "delay_ms")
    f.DelayMs = std::stoi(v);
  else if (key == "close_after")
    f.CloseAfterBytes = std::stoll(v);
  else if (key == "stall_after")
    f.StallAfterBytes = std::stoll(v);
  else if (key == "content_range_shift")
    f.ContentRangeShift = std::stoll(v);
  else if (key == "rate")
    f.RateBytesPerSec = std::stoll(v);
  else if (key == "ignore_range")
    f.IgnoreRange = flag();
  else if (key == "no_accept_ranges")
    f.NoAcceptRanges = flag();
  else if (key == "gzip")
    f.Gzip = flag();
  else if (key == "no_last_modified")
    f.NoLastModified = flag();
  else if (key == "no_content_type")
    f.NoContentType = flag();
  else if (key == "no_content_length")
    f.NoContentLength = flag();
  else if (key == "changing_body")
    f.ChangingBody = flag();
  else if (key == "endless_body")
    f.EndlessBody = flag();
  else
    return false;
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TCatalogue ParseCatalogue(const std::string& text) {
  TCatalogue cat;
  enum { kNone, kServer, kVideo, kStream, kFile } section = kNone;
  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  auto fail = [&](const std::string& why) {
    throw std::runtime_error("catalogue line " + std::to_string(lineNo) + ": " + why);
  };
  while (std::getline(in, raw)) {
    ++lineNo;
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') fail("unclosed section");
      std::string name = Trim(line.substr(1, line.size() - 2));
      std::string kind = Lower(name.substr(0, name.find(' ')));
      if (kind == "server") {
        section = kServer;
      } else if (kind == "video") {
        if (name.find(' ') == std::string::npos) fail("video without id");
        cat.Videos.emplace_back();
        cat.Videos.back().Id = Trim(name.substr(name.find(' ') + 1));
        section = kVideo;
      } else if (kind == "stream") {
        if (cat.Videos.empty()) fail("stream before any video");
        cat.Videos.back().Streams.emplace_back();
        section = kStream;
      } else if (kind == "file") {
        // [file http://host/path]: the address as a client asks for it.
        std::string url = Trim(name.substr(std::min(name.size(), name.find(' '))));
        const std::string scheme = "http://";
        if (Lower(url.substr(0, scheme.size())) != scheme) fail("file without http:// address");
        url = url.substr(scheme.size());
        const size_t slash = url.find('/');
        if (slash == 0 || slash == std::string::npos) fail("file address without host and path");
        cat.Files.push_back({url.substr(0, slash), url.substr(slash), TStream{}});
        section = kFile;
      } else {
        fail("unknown section " + name);
      }
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) fail("expected key = value");
    std::string key = Lower(Trim(line.substr(0, eq)));
    std::string value = Unescape(Trim(line.substr(eq + 1)));
    try {
      if (section == kServer) {
        TOptions& o = cat.Options;
        if (key == "site_host")
          o.SiteHost = value;
        else if (key == "port")
          o.Port = static_cast<uint16_t>(std::stoi(value));
        else if (key == "proxy_user")
          o.ProxyUser = value, o.RequireProxyAuth = true;
        else if (key == "proxy_password")
          o.ProxyPassword = value, o.RequireProxyAuth = true;
        else
          fail("unknown key " + key);
      } else if (section == kVideo) {
        TVideo& v = cat.Videos.back();
        if (key == "title")
          v.Title = value;
        else if (key == "length")
          v.LengthSeconds = std::stoi(value);
        else if (key == "page_file")
          v.Page = ReadFile(value);
        else if (key == "stream_expiry_ms")
          v.StreamExpiry = std::chrono::milliseconds(std::stoll(value));
        else if (key == "streams_forbidden")
          v.StreamsForbidden = value == "1" || Lower(value) == "true" || Lower(value) == "yes";
        else if (key.rfind("page_", 0) == 0 && SetFaultKey(v.PageFault, key.substr(5), value)) {
        } else
          fail("unknown key " + key);
      } else if (section == kStream || section == kFile) {
        TStream& s = section == kFile ? cat.Files.back().Body : cat.Videos.back().Streams.back();
        if (key == "itag")
          s.Itag = std::stoi(value);
        else if (key == "quality")
          s.Quality = value;
        else if (key == "data")
          s.Data = value;
        else if (key == "file")
          s.File = value;
        else if (key == "size")
          s.Size = std::stoll(value);
        else if (key == "seed")
          s.Seed = static_cast<uint32_t>(std::stoul(value));
        else if (key == "host")
          s.Host = value;
        else if (key == "content_type")
          s.ContentType = value;
        else if (key == "last_modified")
          s.LastModified = value;
        else if (key == "connection_rate" && value.find(':') != std::string::npos)
          s.ConnectionRates[std::stoi(value)] = std::stoll(value.substr(value.find(':') + 1));
        else if (!SetFaultKey(s.Fault, key, value))
          fail("unknown key " + key);
      } else {
        fail("key outside a section");
      }
    } catch (const std::invalid_argument&) {
      fail("bad value for " + key);
    } catch (const std::out_of_range&) {
      fail("value out of range for " + key);
    }
  }
  return cat;
}

TCatalogue LoadCatalogue(const std::string& path) {
  return ParseCatalogue(ReadFile(path));
}

}  // namespace sitesim
