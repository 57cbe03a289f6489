#include "tools/cvtcore/CvtCore.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"

namespace cvtcore {
namespace {

bool TakesValue(const std::string& opt) {
  return opt == "-i" || opt == "-ar" || opt == "-ab" || opt == "-ac" || opt == "-acodec" ||
         opt == "-vcodec" || opt == "-b" || opt == "-s" || opt == "-r";
}

bool IsKnown(const std::string& opt) {
  return TakesValue(opt) || opt == "-vn" || opt == "-sameq" || opt == "-y";
}

// "-sameq" (keep the source's quality) is gone from current ffmpeg. Nearest
// equivalent: a chosen video bit rate wins; otherwise constant quality near
// visually lossless: CRF 18 for the encoders driven by CRF (and the default
// encoders of mp4/mkv/mov/webm), quantiser 2 for the classic MPEG-style ones.
void AppendSameQuality(const std::string& vcodec, const std::string& output, bool videoBitrateGiven,
                       std::vector<std::string>& out) {
  if (videoBitrateGiven || vcodec == "copy") return;
  const std::string ext = platform::LowerFileExt(output);
  bool vpx = vcodec == "libvpx" || vcodec == "libvpx-vp9" || (vcodec.empty() && ext == ".webm");
  bool crf = vpx || vcodec == "libx264" || vcodec == "libx265" || vcodec == "libaom-av1" ||
             vcodec == "libsvtav1" ||
             (vcodec.empty() && (ext == ".mp4" || ext == ".m4v" || ext == ".mov" || ext == ".mkv"));
  if (crf) {
    out.insert(out.end(), {"-crf", "18"});
    if (vpx) out.insert(out.end(), {"-b:v", "0"});  // pure constant quality for VP8/VP9
  } else {
    out.insert(out.end(), {"-q:v", "2"});
  }
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool IsLevel(const std::string& token) {
  return token == "quiet" || token == "panic" || token == "fatal" || token == "error" ||
         token == "warning" || token == "info" || token == "verbose" || token == "debug" ||
         token == "trace";
}

// Splits a leading "[token] " off text when token is a log level.
bool TakeLevel(std::string& text, std::string& level) {
  if (!StartsWith(text, "[")) return false;
  auto close = text.find("] ");
  if (close == std::string::npos) return false;
  std::string token = text.substr(1, close - 1);
  if (!IsLevel(token)) return false;
  level = token;
  text.erase(0, close + 2);
  return true;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& args, Request& request, std::string& error) {
  request = Request{};
  bool seenInput = false, sameq = false, videoBitrate = false;
  std::string vcodec;
  const size_t n = args.size();
  for (size_t i = 0; i < n; ++i) {
    const std::string& a = args[i];
    // The output file is the last word; it may itself look like an option
    // ("-clip.mp3"), so "-y <last>" or an unknown last word is the output.
    if (i == n - 1 && seenInput && (!IsKnown(a) || (i > 0 && args[i - 1] == "-y"))) {
      request.output = a;
      break;
    }
    if (!IsKnown(a)) {
      error = StartsWith(a, "-") ? "unknown option " + a : "unexpected argument " + a;
      return false;
    }
    std::string value;
    if (TakesValue(a)) {
      if (i + 1 >= n) {
        error = "missing value for " + a;
        return false;
      }
      value = args[++i];
    }
    auto& dest = seenInput ? request.outputOptions : request.inputOptions;
    if (a == "-i") {
      if (seenInput) {
        error = "only one input is supported";
        return false;
      }
      request.input = value;
      seenInput = true;
    } else if (a == "-vn") {
      dest.push_back("-vn");
    } else if (a == "-y") {
      request.overwrite = true;
    } else if (a == "-sameq") {
      sameq = true;
    } else if (a == "-ar" || a == "-ac" || a == "-s" || a == "-r") {
      dest.insert(dest.end(), {a, value});
    } else if (a == "-ab") {
      dest.insert(dest.end(), {"-b:a", value});
    } else if (a == "-b") {
      dest.insert(dest.end(), {"-b:v", value});
      videoBitrate = true;
    } else if (a == "-acodec" || a == "-vcodec") {
      // "default" leaves the choice to the output format, as the presets mean it.
      if (value != "default") dest.insert(dest.end(), {a == "-acodec" ? "-c:a" : "-c:v", value});
      if (a == "-vcodec") vcodec = value;
    }
  }
  if (!seenInput) {
    error = "no input file given (-i)";
    return false;
  }
  request.infoOnly = request.output.empty();
  if (sameq && !request.infoOnly)
    AppendSameQuality(vcodec, request.output, videoBitrate, request.outputOptions);
  return true;
}

std::optional<int> MaxAudioKbit(const std::string& codec, int rate, int channels) {
  if (rate <= 0 || channels <= 0) return std::nullopt;
  if (codec == "libvorbis") {
    // Its managed bit rate modes have per-channel ceilings by sample-rate band
    // and refuse any bit rate outside 8000..50000 Hz.
    struct Band {
      int from, to, perChannel;
    };
    static const Band bands[] = {{8000, 8999, 42},   {9000, 14999, 50},   {15000, 18999, 100},
                                 {19000, 25999, 90}, {26000, 39999, 190}, {40000, 50000, 240}};
    if (channels > 6) return std::nullopt;
    for (const Band& b : bands) {
      if (rate < b.from || rate > b.to) continue;
      if (channels == 2 && b.from == 40000) return 500;  // the coupled stereo modes reach higher
      return b.perChannel * channels;
    }
    return std::nullopt;
  }
  if (codec == "libopus") {
    if (channels > 8) return std::nullopt;
    return 256 * channels;  // any rate: ffmpeg resamples for it
  }
  if (codec == "libmp3lame") {
    // MPEG-1, -2 and -2.5 layer III ceilings; LAME itself lowers to these.
    if (channels > 2) return std::nullopt;
    if (rate >= 32000 && rate <= 48000) return 320;
    if (rate >= 16000 && rate < 32000) return 160;
    if (rate >= 8000 && rate < 16000) return 64;
    return std::nullopt;
  }
  if (codec == "aac") {
    // 6144 bits per channel and 1024-sample frame; the encoder lowers to this.
    if (channels > 8) return std::nullopt;
    return static_cast<int>(6LL * rate * channels / 1000);
  }
  return std::nullopt;
}

namespace {

// Value of the last "option value" pair in options, or empty.
std::string OptionValue(const std::vector<std::string>& options, const std::string& option) {
  std::string value;
  for (size_t i = 0; i + 1 < options.size(); ++i)
    if (options[i] == option) value = options[i + 1];
  return value;
}

// A whole number, or -1.
long long Number(const std::string& text) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::atoll(text.c_str());
}

// "128k" or "128000" as kbit/s; -1 for anything else.
long long Kbit(const std::string& value) {
  if (!value.empty() && (value.back() == 'k' || value.back() == 'K'))
    return Number(value.substr(0, value.size() - 1));
  long long bps = Number(value);
  return bps < 0 ? -1 : bps / 1000;
}

}  // namespace

bool NeedsInputAudioFormat(const Request& request) {
  const auto& o = request.outputOptions;
  if (OptionValue(o, "-b:a").empty()) return false;
  if (!MaxAudioKbit(OptionValue(o, "-c:a"), 44100, 2)) return false;
  return OptionValue(o, "-ar").empty() || OptionValue(o, "-ac").empty();
}

bool ParseInputAudio(const char* text, int& rate, int& channels) {
  if (!text) return false;
  char* end = nullptr;
  errno = 0;
  const long r = std::strtol(text, &end, 10);
  if (end == text || *end != ' ') return false;
  const char* second = end + 1;
  const long c = std::strtol(second, &end, 10);
  if (end == second || *end != '\0' || errno != 0) return false;
  if (r < 0 || r > 1000000 || c < 0 || c > 64) return false;
  rate = static_cast<int>(r);
  channels = static_cast<int>(c);
  return true;
}

std::optional<std::string> ClampAudioBitrate(Request& request, int inputRate, int inputChannels) {
  auto& o = request.outputOptions;
  const std::string codec = OptionValue(o, "-c:a");
  const std::string given = OptionValue(o, "-b:a");
  const long long kbit = Kbit(given);
  if (kbit < 0) return std::nullopt;
  const std::string ar = OptionValue(o, "-ar"), ac = OptionValue(o, "-ac");
  const long long rate = ar.empty() ? inputRate : Number(ar);
  const long long channels = ac.empty() ? inputChannels : Number(ac);
  if (rate <= 0 || channels <= 0 || rate > 1000000 || channels > 64) return std::nullopt;
  const auto max = MaxAudioKbit(codec, static_cast<int>(rate), static_cast<int>(channels));
  if (!max || kbit <= *max) return std::nullopt;
  const std::string value = std::to_string(*max) + "k";
  for (size_t i = 0; i + 1 < o.size(); ++i)
    if (o[i] == "-b:a") o[i + 1] = value;
  return "cvtcore: audio bit rate " + given + " is above the " + std::to_string(*max) + "k " +
         codec + " takes at " + std::to_string(rate) + " Hz with " + std::to_string(channels) +
         (channels == 1 ? " channel" : " channels") + "; using " + value;
}

std::string FileUrl(const std::string& path) {
  return "file:" + path;
}

std::vector<std::string> FfmpegArguments(const Request& request, const std::string& ffmpeg,
                                         int progressFd) {
  std::vector<std::string> argv = {
      ffmpeg,          "-hide_banner", "-nostdin",  "-nostats",
      "-loglevel",     "level+info",   "-progress", "pipe:" + std::to_string(progressFd),
      "-stats_period", "0.5"};
  if (request.overwrite) argv.push_back("-y");
  argv.insert(argv.end(), request.inputOptions.begin(), request.inputOptions.end());
  argv.insert(argv.end(), {"-i", FileUrl(request.input)});
  argv.insert(argv.end(), request.outputOptions.begin(), request.outputOptions.end());
  // Room in the MP3's ID3 tag for the title and link the program adds after
  // the run: TagLib then writes them in place instead of moving every byte of
  // the file behind a grown tag.
  if (platform::LowerFileExt(request.output) == ".mp3")
    argv.insert(argv.end(), {"-metadata_header_padding", "4096"});
  argv.push_back(FileUrl(request.output));
  return argv;
}

std::vector<std::string> FfprobeArguments(const std::string& ffprobe, const std::string& input) {
  return {ffprobe,
          "-v",
          "error",
          "-show_entries",
          "format=format_name,duration:stream=index,codec_type,codec_name,sample_rate,channels,"
          "channel_layout,bit_rate,width,height",
          "-of",
          "default",
          FileUrl(input)};
}

std::optional<std::string> WavProbeText(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return std::nullopt;
  auto u16 = [](const unsigned char* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; };
  auto u32 = [](const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  unsigned char head[12];
  unsigned tag = 0, channels = 0, bits = 0;
  uint32_t rate = 0, dataSize = 0;
  long long dataStart = -1, fileSize = -1;
  if (std::fread(head, 1, 12, file) == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
      std::memcmp(head + 8, "WAVE", 4) == 0) {
    unsigned char chunk[8];
    // Chunks in file order; "fmt " must come before "data".
    while (dataStart < 0 && std::fread(chunk, 1, 8, file) == 8) {
      const uint32_t size = u32(chunk + 4);
      if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && size <= 64) {
        unsigned char fmt[64];
        if (std::fread(fmt, 1, size, file) != size) break;
        tag = u16(fmt);
        channels = u16(fmt + 2);
        rate = u32(fmt + 4);
        bits = u16(fmt + 14);
        // The extensible form (ffmpeg writes it above 16 bits) names the
        // format in its sub-format; only the usual speaker masks are taken.
        if (tag == 0xFFFE && size >= 40) {
          const uint32_t mask = u32(fmt + 20);
          tag =
              (channels == 1 && mask == 0x4) || (channels == 2 && mask == 0x3) ? u16(fmt + 24) : 0;
        }
        if (size & 1) std::fseek(file, 1, SEEK_CUR);
      } else if (std::memcmp(chunk, "data", 4) == 0) {
        dataStart = std::ftell(file);
        dataSize = size;
      } else if (std::fseek(file, long(size) + (size & 1), SEEK_CUR) != 0) {
        break;
      }
    }
    if (std::fseek(file, 0, SEEK_END) == 0) fileSize = std::ftell(file);
  }
  std::fclose(file);
  const char* codec = nullptr;
  if (tag == 1)
    codec = bits == 8    ? "pcm_u8"
            : bits == 16 ? "pcm_s16le"
            : bits == 24 ? "pcm_s24le"
            : bits == 32 ? "pcm_s32le"
                         : nullptr;
  else if (tag == 3)
    codec = bits == 32 ? "pcm_f32le" : bits == 64 ? "pcm_f64le" : nullptr;
  // A header that promises more data than the file holds (a file still being
  // written, a streamed header) is left to ffprobe.
  if (!codec || channels < 1 || channels > 2 || rate == 0 || dataStart < 0 || dataSize == 0 ||
      dataStart + static_cast<long long>(dataSize) > fileSize)
    return std::nullopt;
  const uint64_t bitRate = uint64_t(rate) * channels * bits;
  char duration[64];
  std::snprintf(duration, sizeof duration, "%.6f", double(dataSize) * 8 / double(bitRate));
  return std::string("[STREAM]\nindex=0\ncodec_name=") + codec +
         "\ncodec_type=audio\nsample_rate=" + std::to_string(rate) +
         "\nchannels=" + std::to_string(channels) +
         "\nchannel_layout=" + (channels == 1 ? "mono" : "stereo") +
         "\nbit_rate=" + std::to_string(bitRate) +
         "\n[/STREAM]\n[FORMAT]\nformat_name=wav\nduration=" + duration + "\n[/FORMAT]\n";
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  long long us = std::llround(seconds * 1e6) + 5000;
  long long secs = us / 1000000;
  long long cs = (us % 1000000) / 10000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%02lld", secs / 3600, (secs / 60) % 60,
                secs % 60, cs);
  return buf;
}

std::string DescribeProbe(const std::string& text) {
  using Section = std::map<std::string, std::string>;
  std::vector<Section> streams;
  Section format;
  bool sawFormat = false;
  std::string other;
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    std::string line =
        Trim(text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos));
    pos = eol == std::string::npos ? text.size() : eol + 1;
    if (line.empty()) continue;
    if (line == "[STREAM]") {
      streams.emplace_back();
      current = &streams.back();
    } else if (line == "[FORMAT]") {
      current = &format;
      sawFormat = true;
    } else if (line == "[/STREAM]" || line == "[/FORMAT]") {
      current = nullptr;
    } else if (auto eq = line.find('='); current && eq != std::string::npos) {
      (*current)[line.substr(0, eq)] = line.substr(eq + 1);
    } else {
      other += line + "\r\n";  // ffprobe's own messages (errors) go on unchanged
    }
  }
  if (!sawFormat && streams.empty()) return other;

  auto get = [](const Section& s, const char* key) {
    auto it = s.find(key);
    return it == s.end() || it->second == "N/A" ? std::string() : it->second;
  };
  std::string out = other;
  std::string name = get(format, "format_name");
  out += "Input #0" + (name.empty() ? std::string() : ", " + name) + ":\r\n";
  std::string duration = get(format, "duration");
  out += "  Duration: " +
         (duration.empty() ? std::string("N/A") : FormatDuration(std::atof(duration.c_str()))) +
         "\r\n";
  const Section* audio = nullptr;
  for (const auto& s : streams) {
    std::string type = get(s, "codec_type");
    if (type == "audio" && !audio) audio = &s;
    if (type != "video") continue;
    out += "  Stream #0:" + get(s, "index") + ": Video: " + get(s, "codec_name");
    std::string w = get(s, "width"), h = get(s, "height");
    if (!w.empty() && !h.empty()) out += ", " + w + "x" + h;
    out += "\r\n";
  }
  if (audio) {
    std::string layout = get(*audio, "channel_layout");
    std::string channels = get(*audio, "channels");
    if (layout.empty() || layout == "unknown")
      layout = channels == "1" ? "mono" : channels == "2" ? "stereo" : channels + " channels";
    out += "  Stream #0:" + get(*audio, "index") + ": Audio: " + get(*audio, "codec_name") + ", " +
           get(*audio, "sample_rate") + " Hz, " + layout;
    std::string rate = get(*audio, "bit_rate");
    if (!rate.empty() && std::atoll(rate.c_str()) > 0)
      out += ", " + std::to_string(std::atoll(rate.c_str()) / 1000) + " kb/s";
    out += "\r\n";
  }
  return out;
}

std::optional<std::string> FilterLogLine(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  std::string context, level;
  if (!TakeLevel(line, level) && StartsWith(line, "[")) {
    auto close = line.find("] ");
    if (close != std::string::npos) {
      std::string rest = line.substr(close + 2);
      if (TakeLevel(rest, level)) {
        context = line.substr(0, close + 2);
        line = rest;
      }
    }
  }
  if (level.empty()) return line;  // continuation text: keep, it may explain a failure
  if (level == "warning" || level == "error" || level == "fatal" || level == "panic")
    return context + line;
  if (level != "info") return std::nullopt;
  std::string t = Trim(line);
  if (StartsWith(t, "Duration:")) return line;
  if (StartsWith(t, "Input #") || StartsWith(t, "Output #")) {
    // Drop the quoted path: a file name must not look like progress to the runner.
    for (const char* cut : {", from '", ", to '"}) {
      auto at = line.find(cut);
      if (at != std::string::npos) return line.substr(0, at) + ":";
    }
    return line;
  }
  if (StartsWith(t, "Stream #") &&
      (t.find(": Audio:") != std::string::npos || t.find(": Video:") != std::string::npos))
    return line;
  return std::nullopt;
}

std::optional<std::string> ProgressParser::Feed(const std::string& raw) {
  std::string line = Trim(raw);
  auto eq = line.find('=');
  if (eq == std::string::npos) return std::nullopt;
  std::string key = line.substr(0, eq), value = Trim(line.substr(eq + 1));
  if (key != "progress") {
    values_[key] = value;
    return std::nullopt;
  }
  auto us = values_.find("out_time_us");
  std::optional<std::string> result;
  if (us != values_.end() && us->second != "N/A" && !us->second.empty()) {
    long long t = std::atoll(us->second.c_str());
    if (t < 0) t = 0;  // audio priming can start slightly below zero
    long long size = std::atoll(values_["total_size"].c_str()) / 1024;
    std::string speed = values_["speed"];
    char buf[128];
    std::snprintf(buf, sizeof buf, "size=%8lldkB time=%lld.%02lld speed=%s", size, t / 1000000,
                  (t % 1000000) / 10000, speed.empty() ? "N/A" : speed.c_str());
    result = buf;
  }
  values_.clear();
  return result;
}

}  // namespace cvtcore
