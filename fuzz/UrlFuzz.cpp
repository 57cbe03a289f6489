// URL parser and the cracking call under it. Checks: components obey their
// buffer sizes, the normalized URL has no blank, and parsing it again gives
// the same URL (normalizing is idempotent) unless "%20" made it too long.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/clHttpUtils.h"
#include "download/clWinInet.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);

  wininet::URL_COMPONENTS uc;
  if (wininet::InternetCrackUrl(url, uc)) {
    FUZZ_CHECK(uc.hostName.size() < uc.hostNameCapacity);
    FUZZ_CHECK(uc.userName.size() < uc.userNameCapacity);
    FUZZ_CHECK(uc.password.size() < uc.passwordCapacity);
    FUZZ_CHECK(uc.urlPath.size() < uc.urlPathCapacity);
    FUZZ_CHECK(uc.extraInfo.size() < uc.extraInfoCapacity);
    FUZZ_CHECK(uc.nPort >= 0 && uc.nPort <= 65535);
    FUZZ_CHECK(uc.extraInfo.empty() || uc.extraInfo[0] == '?' || uc.extraInfo[0] == '#');
    std::string rebuilt;
    wininet::InternetCreateUrl(uc, rebuilt);
  }

  TclUrlParser parser;
  const std::string parsed = parser.Parse(url);
  FUZZ_CHECK(parsed == parser.ParsedUrl);
  if (parsed.empty()) return 0;
  FUZZ_CHECK(parsed.find(' ') == std::string::npos);
  FUZZ_CHECK(parser.SchemeType >= 0 && parser.SchemeType < wininet::INTERNET_SCHEME_SOCKS);
  FUZZ_CHECK(parser.RequestObject() == parser.UrlPath + parser.ExtraInfo);
  FUZZ_CHECK(parser.Host.find_first_of("/?#@") == std::string::npos);

  TclUrlParser again;
  const std::string twice = again.Parse(parsed);
  // Blanks grow into "%20", so a component near its buffer size may no longer fit.
  if (twice.empty() && wininet::GetLastError() == wininet::ERROR_INSUFFICIENT_BUFFER) return 0;
  if (twice != parsed) {
    std::fprintf(stderr, "first: [%s]\nagain: [%s]\n", parsed.c_str(), twice.c_str());
    FUZZ_CHECK(twice == parsed);
  }
  return 0;
}
