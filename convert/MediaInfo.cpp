#include "convert/MediaInfo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/Files.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace {

using Clock = std::chrono::steady_clock;

struct TSource {
  int fd = -1;
  Clock::time_point deadline;
  const std::atomic<bool>* stop = nullptr;
  bool timedOut = false;
  bool stopped = false;

  // True while reading may go on; marks why it may not.
  bool MayGoOn() {
    if (*stop) stopped = true;
    else if (Clock::now() >= deadline) timedOut = true;
    return !stopped && !timedOut;
  }
};

// The file is opened non-blocking, so a pipe or a FIFO without a writer never
// holds a read past the deadline or a stop.
int ReadPacket(void* opaque, uint8_t* buffer, int size) {
  auto* s = static_cast<TSource*>(opaque);
  for (;;) {
    const ssize_t got = ::read(s->fd, buffer, static_cast<size_t>(size));
    if (got > 0) return static_cast<int>(got);
    if (got == 0) return AVERROR_EOF;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return AVERROR(errno);
    if (!s->MayGoOn()) return AVERROR_EXIT;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(s->deadline - Clock::now()).count();
    pollfd p{s->fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 1, 100)));
  }
}

int64_t SeekPacket(void* opaque, int64_t offset, int whence) {
  auto* s = static_cast<TSource*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    return ::fstat(s->fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
  }
  const off_t at = ::lseek(s->fd, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

int Interrupt(void* opaque) { return static_cast<TSource*>(opaque)->MayGoOn() ? 0 : 1; }

// The encoder's form of a running time: HH:MM:SS.cc, rounded to the
// hundredth from the six decimals its probe prints.
std::string Duration(long long duration) {
  if (duration < 0) return "N/A";
  char printed[64];
  std::snprintf(printed, sizeof printed, "%f", static_cast<double>(duration) / AV_TIME_BASE);
  double seconds = std::atof(printed);
  if (!(seconds >= 0)) seconds = 0;
  const long long us = std::llround(seconds * 1e6) + 5000;
  const long long secs = us / 1000000, cs = (us % 1000000) / 10000;
  char text[64];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%02lld", secs / 3600, (secs / 60) % 60,
                secs % 60, cs);
  return text;
}

std::string CodecName(AVCodecID id) {
  const AVCodecDescriptor* d = avcodec_descriptor_get(id);
  return d ? d->name : "unknown";
}

std::string Layout(const AVChannelLayout& layout) {
  if (layout.order != AV_CHANNEL_ORDER_UNSPEC) {
    char text[128] = "";
    av_channel_layout_describe(&layout, text, sizeof text);
    if (text[0] && std::string(text) != "unknown") return text;
  }
  const int n = layout.nb_channels;
  return n == 1 ? "mono" : n == 2 ? "stereo" : std::to_string(n) + " channels";
}

const AVStream* FirstAudio(const AVFormatContext* f) {
  for (unsigned i = 0; i < f->nb_streams; ++i)
    if (f->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return f->streams[i];
  return nullptr;
}

// Containers whose header reader fails on anything that is not one (a movie
// without its index, a RIFF or EBML header, an Ogg page), keyed by the
// extensions they are saved under.
const AVInputFormat* StrictFormatNamedBy(const std::string& path) {
  static const std::pair<const char*, const char*> kNamed[] = {
      {".mp4", "mov"},       {".m4a", "mov"}, {".m4v", "mov"}, {".mov", "mov"},
      {".3gp", "mov"},       {".wav", "wav"}, {".mkv", "matroska"}, {".mka", "matroska"},
      {".webm", "matroska"}, {".ogg", "ogg"}, {".oga", "ogg"}, {".opus", "ogg"},
  };
  const std::string ext = platform::LowerFileExt(path);
  for (const auto& [e, format] : kNamed)
    if (ext == e) return av_find_input_format(format);
  return nullptr;
}

struct TInputCloser {
  AVFormatContext* context = nullptr;
  AVIOContext* io = nullptr;
  int fd = -1;
  ~TInputCloser() {
    if (context) avformat_close_input(&context);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

TMediaInfoResult ReadMediaAudio(const std::string& inFile, Clock::time_point deadline,
                                const std::atomic<bool>& stop, TMediaAudio& audioOut) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

  TSource source;
  source.deadline = deadline;
  source.stop = &stop;
  TInputCloser input;
  source.fd = input.fd = ::open(inFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (input.fd < 0) return TMediaInfoResult::NotRead;

  constexpr int kBufferSize = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  if (!buffer) return TMediaInfoResult::NotRead;
  input.io = avio_alloc_context(buffer, kBufferSize, 0, &source, ReadPacket, nullptr, SeekPacket);
  if (!input.io) {
    av_free(buffer);
    return TMediaInfoResult::NotRead;
  }
  auto newContext = [&] {
    input.context = avformat_alloc_context();
    if (!input.context) return false;
    input.context->pb = input.io;
    input.context->flags |= AVFMT_FLAG_CUSTOM_IO;
    input.context->interrupt_callback = {Interrupt, &source};
    return true;
  };
  if (!newContext()) return TMediaInfoResult::NotRead;

  auto why = [&] {
    return source.stopped    ? TMediaInfoResult::Stopped
           : source.timedOut ? TMediaInfoResult::TimedOut
                             : TMediaInfoResult::NotRead;
  };
  // On failure avformat_open_input frees the context it was given.
  auto open = [&](const AVInputFormat* format, bool withoutEditList = false) {
    AVDictionary* o = nullptr;
    if (withoutEditList) av_dict_set(&o, "ignore_editlist", "1", 0);
    const int opened = avformat_open_input(&input.context, inFile.c_str(), format, &o);
    av_dict_free(&o);
    if (opened >= 0) return true;
    input.context = nullptr;
    return false;
  };
  // Back to the first byte for another reading, in a new context.
  auto rewind = [&] {
    if (source.stopped || source.timedOut || avio_seek(input.io, 0, SEEK_SET) != 0) return false;
    input.io->error = 0;
    return newContext();
  };
  // The probe tries every demuxer the library has; the first time in a
  // process that pages in most of its code (~2 ms, a fifth of the pass). A
  // regular file whose name promises a container that rejects anything else
  // is opened as that first; if it is not one, the probe decides as always.
  struct stat st {};
  const AVInputFormat* named = ::fstat(input.fd, &st) == 0 && S_ISREG(st.st_mode)
                                   ? StrictFormatNamedBy(inFile)
                                   : nullptr;
  // A movie's edit list only trims where its tracks start and end, yet the
  // library rebuilds every sample's index entry for it: 15 of the 18 ms a
  // 30-minute MP4 takes. While the movie header gives the running time
  // nothing read here depends on it (the rate and channels come from the
  // sample description, the bit rate from the sample sizes over the track's
  // own length); a fragmented movie has no such running time and is read
  // again with its edit list.
  if (named) {
    static const AVInputFormat* const kMovie = av_find_input_format("mov");
    const bool movie = named == kMovie;
    if (open(named, movie) && movie && input.context->duration == AV_NOPTS_VALUE) {
      avformat_close_input(&input.context);
      if (!rewind()) return why();
      open(named);
    }
    if (!input.context) {
      if (!rewind()) return why();
      named = nullptr;
    }
  }
  if (!named && !open(nullptr)) return why();
  // Only the first audio stream matters: when the header names it, the others
  // are not decoded, and it gets a single thread (no decoder threads, little
  // memory). Formats that find their streams only in the packets (FLV) are
  // read as they come.
  AVFormatContext* f = input.context;
  const AVStream* audio = FirstAudio(f);
  std::vector<AVDictionary*> options(f->nb_streams, nullptr);
  for (unsigned i = 0; i < f->nb_streams; ++i) {
    AVStream* s = f->streams[i];
    if (audio && s != audio) {
      s->discard = AVDISCARD_ALL;
      // The stream search opens a video decoder only to learn the pixel
      // format (~2 ms and 700 KB zeroed for H.264); nothing here reads it.
      if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && s->codecpar->format < 0)
        s->codecpar->format = AV_PIX_FMT_YUV420P;
    }
    av_dict_set(&options[i], "threads", "1", 0);
  }
  // A header that already names the audio fully (WAV, MP4, Matroska, Ogg)
  // leaves the stream search only a packet or two to read for the running
  // time; its default of up to 5 MB costs ~5 ms in a PCM file for nothing.
  if (audio && !(f->ctx_flags & AVFMTCTX_NOHEADER) && audio->codecpar->codec_id != AV_CODEC_ID_NONE &&
      audio->codecpar->sample_rate > 0 && audio->codecpar->ch_layout.nb_channels > 0)
    f->probesize = 32 * 1024;
  const int found = avformat_find_stream_info(f, options.empty() ? nullptr : options.data());
  for (AVDictionary*& d : options) av_dict_free(&d);
  if (source.stopped || source.timedOut) return why();
  if (!audio) audio = FirstAudio(f);
  // Without audio the encoder's own pass decides (it may know the file better).
  if (found < 0 || !audio) return TMediaInfoResult::NotRead;

  const AVCodecParameters* p = audio->codecpar;
  TMediaAudio a;
  a.Container = f->iformat->name;
  a.DurationUs = f->duration < 0 ? -1 : f->duration;  // AV_NOPTS_VALUE is negative too
  a.StreamIndex = audio->index;
  a.Codec = CodecName(p->codec_id);
  a.Rate = p->sample_rate;
  a.Channels = p->ch_layout.nb_channels;
  a.Layout = Layout(p->ch_layout);
  a.BitRate = p->bit_rate > 0 ? p->bit_rate : 0;
  audioOut = std::move(a);
  return TMediaInfoResult::Described;
}

TMediaInfoResult DescribeMediaFile(const std::string& inFile, Clock::time_point deadline,
                                   const std::atomic<bool>& stop, std::string& text) {
  TMediaAudio a;
  const TMediaInfoResult result = ReadMediaAudio(inFile, deadline, stop, a);
  if (result != TMediaInfoResult::Described) return result;
  std::string out = "Input #0, " + a.Container + ":\r\n";
  out += "  Duration: " + Duration(a.DurationUs) + "\r\n";
  out += "  Stream #0:" + std::to_string(a.StreamIndex) + ": Audio: " + a.Codec + ", " +
         std::to_string(a.Rate) + " Hz, " + a.Layout;
  if (a.BitRate > 0) out += ", " + std::to_string(a.BitRate / 1000) + " kb/s";
  out += "\r\n";
  text = std::move(out);
  return TMediaInfoResult::Described;
}
