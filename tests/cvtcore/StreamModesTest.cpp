// The stream copies of cvtcore (-merge, -fetch): what ffmpeg is asked to do, and
// the calls refused before anything runs.
#include <gtest/gtest.h>

#include <algorithm>

#include "tools/cvtcore/StreamModes.h"

using Args = std::vector<std::string>;

namespace {

// Position of word in argv, or -1.
long At(const Args& argv, const std::string& word) {
  auto it = std::find(argv.begin(), argv.end(), word);
  return it == argv.end() ? -1 : it - argv.begin();
}

TEST(CvtCoreStreams, FetchSendsTheHeadersAndReadsOnlyFromTheNetwork) {
  cvtcore::StreamRequest r;
  std::string error;
  ASSERT_TRUE(cvtcore::ParseStreamArguments({"-fetch", "https://h.test/a.m3u8?s=1", "-headers",
                                             "User-Agent: x/1\r\nReferer: https://h.test/\r\n",
                                             "-y", "out.mp4"},
                                            r, error))
      << error;
  const Args argv = cvtcore::FfmpegStreamArguments(r, "ffmpeg", 1);
  const long input = At(argv, "https://h.test/a.m3u8?s=1");
  ASSERT_GT(input, 0);
  EXPECT_EQ(argv[static_cast<size_t>(input - 1)], "-i");
  // Input options go before the input; a playlist naming file: or data: segments fails.
  EXPECT_LT(At(argv, "-headers"), input);
  EXPECT_EQ(argv[static_cast<size_t>(At(argv, "-headers") + 1)],
            "User-Agent: x/1\r\nReferer: https://h.test/\r\n");
  const long list = At(argv, "-protocol_whitelist");
  ASSERT_GT(list, 0);
  EXPECT_LT(list, input);
  EXPECT_EQ(argv[static_cast<size_t>(list + 1)].find("file"), std::string::npos);
  EXPECT_EQ(argv.back(), "file:out.mp4");
}

TEST(CvtCoreStreams, WrongCallsAreRefused) {
  const std::vector<Args> wrong = {
      {"-fetch", "file:///etc/passwd", "-y", "o.mp4"},
      {"-fetch", "/tmp/local.m3u8", "-y", "o.mp4"},
      {"-fetch", "http://h/a.m3u8", "-headers", "A: b\r\nInjected\r\n", "-y", "o.mp4"},
      {"-fetch", "http://h/a.m3u8", "-headers", "A: b\nC: d\r\n", "-y", "o.mp4"},
      {"-fetch", "http://h/a.m3u8", "-headers", "A: b", "-y", "o.mp4"},
      {"-fetch", "http://h/a.m3u8"},
      {"-merge", "-i", "v.mp4", "-y", "o.mp4"},
      {"-merge", "-i", "v.mp4", "-i", "a.m4a", "-i", "c.m4a", "-y", "o.mp4"},
      {"-merge", "-i", "v.mp4", "-i", "a.m4a", "-c", "copy", "-y", "o.mp4"},
      {"-merge", "-i", "v.mp4", "-i"},
  };
  for (const Args& args : wrong) {
    cvtcore::StreamRequest r;
    std::string error;
    EXPECT_FALSE(cvtcore::ParseStreamArguments(args, r, error)) << args[1] << " " << args.size();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
