#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "download/clHttpUtils.h"

namespace {

std::string RawDeflate(const std::string& data) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// One gzip member; the optional fields are present when non-empty.
std::string Gzip(const std::string& data, const std::string& extra = "",
                 const std::string& name = "", const std::string& comment = "",
                 bool headerCrc = false) {
  uint8_t flags = (extra.empty() ? 0 : 4) | (name.empty() ? 0 : 8) | (comment.empty() ? 0 : 16) |
                  (headerCrc ? 2 : 0);
  std::string out = {'\x1f', '\x8b', 8, static_cast<char>(flags), 0, 0, 0, 0, 0, 3};
  if (!extra.empty()) {
    out += static_cast<char>(extra.size() & 0xFF);
    out += static_cast<char>(extra.size() >> 8);
    out += extra;
  }
  if (!name.empty()) out += name + std::string(1, '\0');
  if (!comment.empty()) out += comment + std::string(1, '\0');
  if (headerCrc) out += "\x12\x34";
  out += RawDeflate(data);
  out += Le32(static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()))));
  out += Le32(static_cast<uint32_t>(data.size()));
  return out;
}

std::string Sample(size_t size) {
  std::mt19937 rng(7);
  std::string s;
  for (size_t i = 0; i < size; ++i) s += "abcdefgh \n"[rng() % 10];
  return s;
}

std::string Decode(const std::string& gz, size_t step) {
  TclMemoryStream out;
  TclGZipInflateStream stream(out);
  for (size_t i = 0; i < gz.size(); i += step)
    stream.Write(gz.data() + i, std::min(step, gz.size() - i));
  stream.Finish();
  return out.Data();
}

// Discards what it gets, remembering the largest single write.
class SinkStream : public TclStream {
 public:
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void*, size_t count) override {
    total += count;
    largest = std::max(largest, count);
    return count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  int64_t Size() override { return 0; }
  void SetSize(int64_t) override {}
  uint64_t total = 0;
  size_t largest = 0;
};

}  // namespace

TEST(UrlParser, NormalizesSchemelessAndBlankUrlsAndSplitsComponents) {
  TclUrlParser p;
  EXPECT_EQ(p.Parse("example.com/videos/a b.flv"), "http://example.com/videos/a%20b.flv");
  EXPECT_EQ(p.SchemeType, 3);
  EXPECT_EQ(p.Host, "example.com");
  EXPECT_EQ(p.Port, 80);
  EXPECT_EQ(p.UrlPath, "/videos/a b.flv");

  EXPECT_EQ(p.Parse("localhost:8080/get?id=1&x=2"), "http://localhost:8080/get?id=1&x=2");
  EXPECT_EQ(p.Port, 8080);
  EXPECT_EQ(p.ExtraInfo, "?id=1&x=2");
  EXPECT_EQ(p.RequestObject(), "/get?id=1&x=2");

  EXPECT_EQ(p.Parse("https://user:pw@host.test/f"), "https://user:pw@host.test/f");
  EXPECT_EQ(p.SchemeType, 4);
  EXPECT_EQ(p.Port, 443);
  EXPECT_EQ(p.UserName, "user");
  EXPECT_EQ(p.Password, "pw");

  EXPECT_EQ(p.Parse(""), "");
  EXPECT_EQ(p.ParsedUrl, "");
  EXPECT_EQ(p.Parse("http://h:99999/"), "");
}

// Found by fuzzing: a host name holding ":", brackets, blanks or control
// characters was accepted and the normalized URL no longer parsed.
TEST(UrlParser, RejectsHostNamesTheNormalizedUrlCannotCarry) {
  TclUrlParser p;
  EXPECT_EQ(p.Parse("ftp://anonymous@f:!]:tp.invs://[::1]:8Ze.gz"), "");
  EXPECT_EQ(p.Parse("http://a:b:80/x"), "");
  EXPECT_EQ(p.Parse("http://a]b/x"), "");
  EXPECT_EQ(p.Parse("[[[[[[[ht[tdp4w1]:8/http"), "");  // brackets around no IPv6 literal
  EXPECT_EQ(p.Parse("http://[host]/"), "");
  EXPECT_EQ(p.Parse("http://[::1]:8080/x?y"), "http://[::1]:8080/x?y");
  EXPECT_EQ(p.Host, "::1");
  EXPECT_EQ(p.Parse(p.ParsedUrl), "http://[::1]:8080/x?y");
  EXPECT_EQ(p.Parse("http://h:/x"), "http://h/x");
  // Blanks and control characters in the host were trimmed off the rebuilt URL
  // together with it, leaving "http://".
  EXPECT_EQ(p.Parse(std::string("\x01\x00\x00\x02", 4)), "");
  EXPECT_EQ(p.Parse("  "), "");
  EXPECT_EQ(p.Parse("http://a b/"), "");
  EXPECT_EQ(p.Parse("http://h\x7f/"), "");
  EXPECT_EQ(p.Parse("http://h/x\x01"), "http://h/x");
}

TEST(UrlParser, EnforcesComponentBuffersAndLetsTheHookChangeComponents) {
  TclUrlParser p;
  EXPECT_NE(p.Parse("http://" + std::string(255, 'h') + "/"), "");
  EXPECT_EQ(p.Parse("http://" + std::string(256, 'h') + "/"), "");
  EXPECT_EQ(p.Parse("http://h/" + std::string(2047, 'p')), "");  // path 2048 with "/"
  EXPECT_NE(p.Parse("http://h/" + std::string(2040, 'p')), "");

  p.OnParse = [](wininet::URL_COMPONENTS& uc) {
    uc.userName = "item";
    uc.nPort = 8081;
  };
  EXPECT_EQ(p.Parse("http://h/f"), "http://item@h:8081/f");
  EXPECT_EQ(p.UserName, "item");
  EXPECT_EQ(p.Port, 8081);
}

TEST(ProxyString, FollowsTheSchemeAndServerPrefixRules) {
  TclHttpProxySettings http;
  TclFtpProxySettings ftp;
  EXPECT_EQ(http.Port, 8080);
  EXPECT_EQ(http.AuthenticationType, atAutoDetect);
  EXPECT_EQ(ftp.Port, 21);
  EXPECT_EQ(GetProxyString(3, http, ftp), "");  // no server: preconfigured access
  http.Server = "proxy.local";
  EXPECT_EQ(GetProxyString(3, http, ftp), "http=http://proxy.local:8080");
  EXPECT_EQ(GetProxyString(4, http, ftp), "https=https://proxy.local:8080");
  EXPECT_EQ(GetProxyString(0, http, ftp), "");
  http.Server = "HTTP://proxy.local";
  EXPECT_EQ(GetProxyString(3, http, ftp), "http=HTTP://proxy.local:8080");
  EXPECT_EQ(GetProxyString(4, http, ftp), "https=HTTP://proxy.local:8080");
  ftp.Server = "gate";
  EXPECT_EQ(GetProxyString(1, http, ftp), "ftp=ftp://gate:21");
  ftp.Server = "ftpgate";  // already "begins with ftp"
  EXPECT_EQ(GetProxyString(1, http, ftp), "ftp=ftpgate:21");
}

TEST(BasicCredentials, EncodesUserAndPasswordOnlyForABasicChallenge) {
  EXPECT_EQ(GetBasicAuthorization("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(GetBasicAuthorization("", "secret"), "Basic c2VjcmV0");  // no colon
  EXPECT_EQ(GetBasicAuthorization("u", ""), "Basic dTo=");
  EXPECT_EQ(GetBasicAuthorization({"NTLM", "BASIC"}, "u", ""), "Basic dTo=");
  EXPECT_EQ(GetBasicAuthorization({"Digest"}, "u", "p"), "");
  // Long credentials stay one line.
  auto longValue = GetBasicAuthorization(std::string(60, 'u'), std::string(60, 'p'));
  EXPECT_EQ(longValue.find('\n'), std::string::npos);
}

TEST(InternetErrorText, TrimsMessagesAndNamesUnknownCodes) {
  EXPECT_EQ(GetInternetErrorText(12007), "The server name or address could not be resolved");
  EXPECT_EQ(GetInternetErrorText(12029), "A connection with the server could not be established");
  EXPECT_EQ(GetInternetErrorText(12002), "The operation timed out");
  EXPECT_EQ(GetInternetErrorText(4242), "Unknown error, code = 4242");
  EXPECT_EQ(GetInternetErrorText(12003),
            "The server returned extended information; Additional info: ");
}

TEST(GZipInflateStream, DecodesTheSameWholeOrByteByByteWithHeaderFields) {
  std::string data = Sample(100000);
  for (const std::string& gz :
       {Gzip(data), Gzip(data, "EXTRA", "name.flv", "a comment", true), Gzip("")}) {
    std::string whole = Decode(gz, gz.size());
    EXPECT_EQ(whole, gz == Gzip("") ? "" : data);
    EXPECT_EQ(Decode(gz, 1), whole);
    EXPECT_EQ(Decode(gz, 7), whole);
  }
}

TEST(GZipInflateStream, MembersFollowingATrailerInTheSameWriteAreDecoded) {
  std::string a = Sample(5000), b = "second member", c = Sample(300);
  std::string gz = Gzip(a) + Gzip(b, "", "n") + Gzip(c);
  EXPECT_EQ(Decode(gz, gz.size()), a + b + c);
  EXPECT_EQ(Decode(gz, 1), a + b + c);
  EXPECT_EQ(Decode(gz, 4096), a + b + c);
}

TEST(GZipInflateStream, ReportsCorruptTruncatedAndMismatchedStreams) {
  std::string data = Sample(20000);
  std::string gz = Gzip(data);
  auto message = [](const std::string& bytes) -> std::string {
    try {
      Decode(bytes, 1000);
    } catch (const EclZLibError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message(gz.substr(0, gz.size() / 2)), "Uncompressing error - unexpected end of data");
  EXPECT_EQ(message(gz.substr(0, 5)), "Uncompressing error - unexpected end of data");
  std::string corrupt = gz;
  corrupt[10] = '\xff';  // an invalid block type
  EXPECT_EQ(message(corrupt).rfind("Uncompressing error - ", 0), 0u);
  EXPECT_NE(message(corrupt), "Uncompressing error - unexpected end of data");
  std::string badCrc = gz;
  badCrc[badCrc.size() - 8] ^= 1;
  EXPECT_EQ(message(badCrc), "Uncompressing error - invalid crc");
  std::string badSize = gz;
  badSize[badSize.size() - 4] ^= 1;
  EXPECT_EQ(message(badSize), "Uncompressing error - invalid data size");
}

TEST(GZipInflateStream, BombFedInSmallWritesReachesTheDestinationInBoundedChunks) {
  // 256 MiB of zeros compress to about 256 KiB.
  constexpr uint64_t kPlain = 256ull << 20;
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string zeros(1 << 20, '\0'), body;
  std::vector<char> out(1 << 20);
  uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  for (uint64_t done = 0; done < kPlain; done += zeros.size()) {
    crc = static_cast<uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()), zeros.size()));
    zs.next_in = reinterpret_cast<Bytef*>(zeros.data());
    zs.avail_in = static_cast<uInt>(zeros.size());
    int flush = done + zeros.size() >= kPlain ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(out.data());
      zs.avail_out = static_cast<uInt>(out.size());
      deflate(&zs, flush);
      body.append(out.data(), out.size() - zs.avail_out);
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  std::string gz = std::string{'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, 3} + body + Le32(crc) +
                   Le32(static_cast<uint32_t>(kPlain));
  SinkStream sink;
  TclGZipInflateStream stream(sink);
  for (size_t i = 0; i < gz.size(); i += 512)
    stream.Write(gz.data() + i, std::min<size_t>(512, gz.size() - i));
  stream.Finish();
  EXPECT_EQ(sink.total, kPlain);
  EXPECT_LE(sink.largest, TclGZipInflateStream::kChunkSize);
  EXPECT_EQ(stream.TotalWritten(), static_cast<int64_t>(gz.size()));
}

TEST(GZipInflateStream, SeeksOnlyToItsCurrentTotal) {
  TclMemoryStream out;
  TclGZipInflateStream stream(out);
  std::string gz = Gzip("abc");
  stream.Write(gz.data(), 4);
  EXPECT_EQ(stream.Seek(4, TclStream::soBeginning), 4);
  EXPECT_EQ(stream.Seek(0, TclStream::soCurrent), 4);
  EXPECT_THROW(stream.Seek(0, TclStream::soBeginning), EclStreamError);
  char buf[4];
  EXPECT_EQ(stream.Read(buf, 4), 0u);
}
