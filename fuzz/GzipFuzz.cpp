// gzip decoder stream fed in random-sized writes. Where zlib itself decodes the
// whole input (one or more members), the stream must give the same bytes and
// finish cleanly; elsewhere it may only raise its own errors.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "download/clHttpUtils.h"
#include "download/clStreams.h"
#include "fuzz/FuzzCheck.h"

namespace {

// zlib's gzip decoding of every member; false when any member is bad or cut short.
bool ZlibGunzip(const uint8_t* data, size_t size, std::string& out) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  unsigned char buf[16384];
  bool ok = true;
  while (zs.avail_in > 0) {
    int rc;
    do {
      zs.next_out = buf;
      zs.avail_out = sizeof buf;
      rc = inflate(&zs, Z_NO_FLUSH);
      out.append(reinterpret_cast<char*>(buf), sizeof buf - zs.avail_out);
    } while (rc == Z_OK);
    if (rc != Z_STREAM_END) {
      ok = false;
      break;
    }
    inflateReset(&zs);
  }
  inflateEnd(&zs);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: how the rest is cut into writes.
  uint32_t state = data[0] * 2654435761u + 1;
  ++data, --size;

  std::string expected;
  const bool zlibOk = ZlibGunzip(data, size, expected);

  TclMemoryStream sink;
  TclGZipInflateStream gz(sink);
  bool ok = true;
  std::string error;
  try {
    size_t at = 0;
    while (at < size) {
      state = state * 1103515245u + 12345u;
      size_t piece = 1 + (state >> 16) % 97;
      if ((state >> 8) % 5 == 0) piece = 0;  // empty writes are legal too
      if (piece > size - at) piece = size - at;
      FUZZ_CHECK(gz.Write(data + at, piece) == piece);
      at += piece;
      FUZZ_CHECK(gz.TotalWritten() == static_cast<int64_t>(at));
    }
    gz.Finish();
  } catch (const EclZLibError& e) {
    ok = false;
    error = e.what();
  }
  if (zlibOk) {
    if (!ok) std::fprintf(stderr, "stream failed where zlib decoded: %s\n", error.c_str());
    FUZZ_CHECK(ok);
    FUZZ_CHECK(sink.Data() == expected);
  }
  return 0;
}
