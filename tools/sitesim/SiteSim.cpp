#include "tools/sitesim/SiteSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "tools/sitesim/SiteSimImpl.h"
#include "tools/sitesim/SiteSimText.h"

namespace sitesim {

using detail::DefaultQuality;
using detail::Lower;
using detail::Mix;

const char* const kDefaultStreamHost = "r1.media.sim.invalid";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string TSiteSim::Impl::Signature(const std::string& id, size_t n, int64_t expires) const {
  uint64_t h = Mix(secret ^ Mix(n));
  for (unsigned char c : id) h = Mix(h ^ c);
  h = Mix(h ^ static_cast<uint64_t>(expires));
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return hex;
}

std::string TSiteSim::Impl::StreamUrlOf(const std::string& id, size_t n, const TStream& s) const {
  std::string url = "http://" + StreamHost(s) + "/videoplayback?id=" + PercentEncode(id) +
                    "&n=" + std::to_string(n);
  auto v = videos.find(id);
  if (v != videos.end() && v->second.StreamExpiry.count() > 0) {
    const int64_t expires = NowMs() + v->second.StreamExpiry.count();
    url += "&expires=" + std::to_string(expires) + "&sig=" + Signature(id, n, expires);
  }
  return url;
}

bool TSiteSim::Impl::StreamAllowed(const TVideo& v, size_t n,
                                   const std::map<std::string, std::string>& params) const {
  if (v.StreamsForbidden) return false;
  if (v.StreamExpiry.count() <= 0) return true;
  auto expires = params.find("expires"), sig = params.find("sig");
  if (expires == params.end() || sig == params.end()) return false;
  const int64_t at = std::atoll(expires->second.c_str());
  return sig->second == Signature(v.Id, n, at) && NowMs() < at;
}

std::string TSiteSim::Impl::BuildPage(const TVideo& v) const {
  if (!v.Page.empty()) return v.Page;
  std::string map;
  for (size_t i = 0; i < v.Streams.size(); ++i) {
    const TStream& s = v.Streams[i];
    if (i) map += ",";
    map += "url=" + PercentEncode(StreamUrlOf(v.Id, i, s));
    map += "\\u0026quality=" + (s.Quality.empty() ? DefaultQuality(s.Itag) : s.Quality);
    map += "\\u0026fallback_host=tc.v1.cache1.c.sim.invalid";
    map += "\\u0026type=" + PercentEncode(s.ContentType);
    map += "\\u0026itag=" + std::to_string(s.Itag);
  }
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\" dir=\"ltr\">\n<head>\n"
      "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n"
      "<title>\n  " +
      v.Title +
      " - YouTube\n</title>\n"
      "<link rel=\"stylesheet\" href=\"\\/\\/s.sim.invalid\\/yt\\/css\\/www-core.css\">\n"
      "</head>\n<body>\n<div id=\"watch-container\">\n<div id=\"player\"></div>\n"
      "<script>\nvar swfConfig = {\"url\": \"http:\\/\\/s.sim.invalid\\/player.swf\", "
      "\"args\": {\"video_id\": \"" +
      v.Id + "\", ";
  if (v.LengthSeconds >= 0) page += "\"length_seconds\": " + std::to_string(v.LengthSeconds) + ", ";
  page += "\"url_encoded_fmt_stream_map\": \"" + map +
          "\", \"fmt_list\": \"\", \"hl\": \"en_US\"}};\n"
          "</script>\n</div>\n</body>\n</html>\n";
  return page;
}

TSiteSim::TSiteSim(TOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->secret = (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
}

TSiteSim::TSiteSim(const TCatalogue& catalogue) : TSiteSim(catalogue.Options) {
  for (const auto& v : catalogue.Videos) AddVideo(v);
  for (const auto& f : catalogue.Files) AddFile(f.Host, f.Path, f.Body);
}

TSiteSim::~TSiteSim() {
  Stop();
}

void TSiteSim::Start() {
  Impl& d = *impl_;
  if (d.running) return;
  d.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (d.listenFd < 0) throw std::runtime_error("sitesim: socket failed");
  int one = 1;
  ::setsockopt(d.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(d.options.Port);
  socklen_t len = sizeof addr;
  if (::bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(d.listenFd, 64) != 0 ||
      ::getsockname(d.listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(d.wakePipe, O_CLOEXEC) != 0) {
    std::string why = std::strerror(errno);
    ::close(d.listenFd);
    d.listenFd = -1;
    throw std::runtime_error("sitesim: cannot listen on loopback: " + why);
  }
  port_ = d.port = ntohs(addr.sin_port);
  d.stopping = false;
  d.running = true;
  d.acceptThread = std::thread([&d] { d.Serve(); });
}

void TSiteSim::Stop() {
  Impl& d = *impl_;
  if (!d.running) return;
  d.stopping = true;
  char byte = 1;
  [[maybe_unused]] ssize_t w = ::write(d.wakePipe[1], &byte, 1);
  d.acceptThread.join();
  {
    std::lock_guard lock(d.mutex);
    for (auto& c : d.conns)
      if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
  }
  d.changed.notify_all();
  for (auto& c : d.conns) c.thread.join();
  d.conns.clear();
  ::close(d.listenFd);
  ::close(d.wakePipe[0]);
  ::close(d.wakePipe[1]);
  d.listenFd = d.wakePipe[0] = d.wakePipe[1] = -1;
  d.running = false;
}

std::string TSiteSim::ProxyAddress() const {
  return "127.0.0.1:" + std::to_string(port_);
}
std::string TSiteSim::Origin() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void TSiteSim::AddVideo(TVideo video) {
  std::lock_guard lock(impl_->mutex);
  std::string id = video.Id;
  for (size_t n = 0; n < video.Streams.size(); ++n) {
    impl_->liveRate.erase("s:" + id + "#" + std::to_string(n));
    impl_->connOrder.erase("s:" + id + "#" + std::to_string(n));
  }
  impl_->videos[id] = std::move(video);
}

void TSiteSim::RemoveVideo(const std::string& id) {
  std::lock_guard lock(impl_->mutex);
  impl_->videos.erase(id);
}

void TSiteSim::SetStreamFault(const std::string& videoId, size_t stream, const TFault& fault) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end() || stream >= it->second.Streams.size())
    throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
  it->second.Streams[stream].Fault = fault;
  impl_->requestCount.erase("s:" + videoId + "#" + std::to_string(stream));
  impl_->liveRate.erase("s:" + videoId + "#" + std::to_string(stream));
}

void TSiteSim::SetStreamRate(const std::string& videoId, size_t stream, int64_t bytesPerSec) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end() || stream >= it->second.Streams.size())
    throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
  it->second.Streams[stream].Fault.RateBytesPerSec = bytesPerSec;
  impl_->liveRate["s:" + videoId + "#" + std::to_string(stream)] = bytesPerSec;
}

void TSiteSim::SetStreamExpiry(const std::string& videoId, std::chrono::milliseconds ttl) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end()) throw std::out_of_range("sitesim: no video " + videoId);
  it->second.StreamExpiry = ttl;
}

void TSiteSim::SetStreamsForbidden(const std::string& videoId, bool forbidden) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end()) throw std::out_of_range("sitesim: no video " + videoId);
  it->second.StreamsForbidden = forbidden;
}

void TSiteSim::SetConnectionRate(const std::string& videoId, size_t stream, int order,
                                 int64_t bytesPerSec) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end() || stream >= it->second.Streams.size())
    throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
  it->second.Streams[stream].ConnectionRates[order] = bytesPerSec;
  impl_->connOrder.erase("s:" + videoId + "#" + std::to_string(stream));
}

std::vector<int> TSiteSim::ConnectionOrder(const std::string& videoId, size_t stream) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->connOrder.find("s:" + videoId + "#" + std::to_string(stream));
  return it == impl_->connOrder.end() ? std::vector<int>{} : it->second;
}

void TSiteSim::SetPageFault(const std::string& videoId, const TFault& fault) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end()) throw std::out_of_range("sitesim: no video " + videoId);
  it->second.PageFault = fault;
  impl_->requestCount.erase("p:" + videoId);
}

void TSiteSim::AddFile(const std::string& host, const std::string& path, TStream body) {
  std::lock_guard lock(impl_->mutex);
  impl_->files[{Lower(host), path}] = std::move(body);
  impl_->requestCount.erase("f:" + Lower(host) + path);
}

std::string TSiteSim::FileUrl(const std::string& host, const std::string& path) const {
  return "http://" + host + path;
}

void TSiteSim::SetProxyAuth(bool required, const std::string& user, const std::string& password) {
  std::lock_guard lock(impl_->mutex);
  impl_->options.RequireProxyAuth = required;
  impl_->options.ProxyUser = user;
  impl_->options.ProxyPassword = password;
}

std::string TSiteSim::WatchUrl(const std::string& videoId) const {
  std::lock_guard lock(impl_->mutex);
  return "http://" + impl_->options.SiteHost + "/watch?v=" + PercentEncode(videoId);
}

std::string TSiteSim::InfoUrl(const std::string& videoId) const {
  std::lock_guard lock(impl_->mutex);
  return "http://" + impl_->options.SiteHost + "/get_video_info?video_id=" + PercentEncode(videoId);
}

std::string TSiteSim::StreamUrl(const std::string& videoId, size_t stream) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end() || stream >= it->second.Streams.size())
    throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
  return impl_->StreamUrlOf(videoId, stream, it->second.Streams[stream]);
}

std::string TSiteSim::DirectUrl(const std::string& url) const {
  if (Lower(url.substr(0, 7)) != "http://") return url;
  size_t slash = url.find('/', 7);
  return Origin() + (slash == std::string::npos ? "/" : url.substr(slash));
}

std::string TSiteSim::StreamBody(const std::string& videoId, size_t stream, int version) const {
  TStream s;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->videos.find(videoId);
    if (it == impl_->videos.end() || stream >= it->second.Streams.size())
      throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
    s = it->second.Streams[stream];
  }
  std::string body;
  if (!s.Data.empty()) {
    body = s.Data;
  } else if (!s.File.empty()) {
    std::ifstream in(s.File, std::ios::binary);
    body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    body = GeneratedBytes(s.Seed, 0, static_cast<size_t>(s.Size));
  }
  if (s.Fault.ChangingBody && version > 0) {
    unsigned char flip = static_cast<unsigned char>(version * 37 + 1);
    for (char& c : body) c = static_cast<char>(c ^ flip);
  }
  return body;
}

std::string TSiteSim::WatchPage(const std::string& videoId) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end()) throw std::out_of_range("sitesim: no video " + videoId);
  return impl_->BuildPage(it->second);
}

std::vector<TRequest> TSiteSim::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void TSiteSim::ClearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
  impl_->mostPagesInFlight = impl_->pagesInFlight;
}

bool TSiteSim::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

int TSiteSim::PagesInFlight() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pagesInFlight;
}

int TSiteSim::MostPagesAtOnce() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->mostPagesInFlight;
}

int TSiteSim::OpenConnections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->openConns;
}

}  // namespace sitesim
