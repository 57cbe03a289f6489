// Times the watch-page parse of 5 MB hostile pages and prints one line per kind.
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "resolve/Resolution.h"

namespace {

std::string Repeat(const std::string& unit, size_t size) {
  std::string s;
  s.reserve(size + unit.size());
  while (s.size() < size) s += unit;
  return s;
}

}  // namespace

int main() {
  const size_t kSize = 5u << 20;
  std::mt19937 rng(1);
  std::string random(kSize, '\0');
  for (auto& c : random) c = static_cast<char>(rng());

  struct Case {
    const char* name;
    std::string page;
  } cases[] = {
      {"random bytes", random},
      {"nested unclosed markup", Repeat("<title><div class=\"a\"><span><title><p>", kSize)},
      {"closing tag first, then unclosed titles", "</title>" + Repeat("<title>x", kSize)},
      {"unclosed stream-map members", Repeat("\"url_encoded_fmt_stream_map\": \"", kSize)},
      {"unclosed length members", Repeat("\"length_seconds\": 1234567890", kSize)},
      {"huge stream map",
       "\"url_encoded_fmt_stream_map\": \"" +
           Repeat("url=http%3A%2F%2Fh%2Fv%3Fid%3D1\\u0026quality=hd720\\u0026itag=22,", kSize) +
           "\""},
      {"1 MB well-formed stream map",
       "<title>t - YouTube</title>\"url_encoded_fmt_stream_map\": \"" +
           Repeat("url=http%3A%2F%2Fh%2Fv%3Fid%3D1\\u0026quality=hd720\\u0026itag=22,", 1u << 20) +
           "\""},
      {"stream map of address starts",
       "\"url_encoded_fmt_stream_map\": \"" + Repeat("=httpxxxx", kSize) + "\""},
  };
  double worst = 0;
  for (auto& c : cases) {
    auto t0 = std::chrono::steady_clock::now();
    TPageResolution r = ResolveWatchPage(c.page);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    worst = std::max(worst, ms);
    std::printf("%-42s %7.1f ms  (%zu streams)\n", c.name, ms, r.Qualities.size());
  }
  std::printf("worst 5 MB hostile page: %.1f ms\n", worst);
  return 0;
}
