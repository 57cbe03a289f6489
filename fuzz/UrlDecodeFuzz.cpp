// Title decoder: never longer than its input, the identity on text without
// escapes, and the inverse of a full percent-encoding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "resolve/InetEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = UrlDecode(text);
  FUZZ_CHECK(decoded.size() <= text.size());
  if (text.find_first_of("%+") == std::string::npos) FUZZ_CHECK(decoded == text);

  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    encoded += '%';
    encoded += kHex[c >> 4];
    encoded += kHex[c & 15];
  }
  FUZZ_CHECK(UrlDecode(encoded) == text);
  return 0;
}
