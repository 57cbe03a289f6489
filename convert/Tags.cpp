#include "convert/Tags.h"

#include <taglib/commentsframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/xiphcomment.h>

#include <cctype>
#include <mutex>

#include "platform/Files.h"

namespace {

std::mutex g_forcedMutex;
std::string g_forcedFailure;

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
    } else {
      return false;
    }
    cp = c & (0x7Fu >> (extra + 1));
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// Titles are UTF-8; a local file name may be any bytes, which then read as
// Latin-1 rather than turning into replacement characters.
TagLib::String Text(const std::string& s) {
  return TagLib::String(s, ValidUtf8(s) ? TagLib::String::UTF8 : TagLib::String::Latin1);
}

// Checks that TagLib could read the file and may write it; "" when it can.
std::string Usable(const TagLib::File& file) {
  if (!file.isOpen() || !file.isValid()) return "the file could not be read as its format";
  if (file.readOnly()) return "the file is read-only";
  return "";
}

std::string TagMp3(const std::string& path, const TOutputTags& tags) {
  TagLib::MPEG::File file(path.c_str(), false);
  if (std::string why = Usable(file); !why.empty()) return why;
  TagLib::ID3v2::Tag* id3 = file.ID3v2Tag(true);
  // Frames of our own in UTF-8: the setters would pick the encoding by the text.
  if (!tags.Title.empty()) {
    id3->removeFrames("TIT2");
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame("TIT2", TagLib::String::UTF8);
    frame->setText(Text(tags.Title));
    id3->addFrame(frame);
  }
  if (!tags.Comment.empty()) {
    // Only the plain comment (no description) is ours; described ones stay.
    const TagLib::ID3v2::FrameList comments = id3->frameList("COMM");
    for (TagLib::ID3v2::Frame* f : comments) {
      auto* c = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(f);
      if (c && c->description().isEmpty()) id3->removeFrame(c);
    }
    auto* frame = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
    frame->setLanguage("XXX");
    frame->setText(Text(tags.Comment));
    id3->addFrame(frame);
  }
  if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v4,
                 TagLib::File::DoNotDuplicate))
    return "the tags could not be saved";
  return "";
}

std::string TagMp4(const std::string& path, const TOutputTags& tags) {
  TagLib::MP4::File file(path.c_str(), false);
  if (std::string why = Usable(file); !why.empty()) return why;
  TagLib::MP4::Tag* tag = file.tag();
  if (!tag) return "the file has no room for tags";
  if (!tags.Title.empty()) tag->setTitle(Text(tags.Title));
  if (!tags.Comment.empty()) tag->setComment(Text(tags.Comment));
  return file.save() ? "" : "the tags could not be saved";
}

void SetXiph(TagLib::Ogg::XiphComment& xiph, const TOutputTags& tags) {
  if (!tags.Title.empty()) xiph.addField("TITLE", Text(tags.Title), true);
  if (!tags.Comment.empty()) xiph.addField("COMMENT", Text(tags.Comment), true);
}

std::string TagFlac(const std::string& path, const TOutputTags& tags) {
  TagLib::FLAC::File file(path.c_str(), false);
  if (std::string why = Usable(file); !why.empty()) return why;
  SetXiph(*file.xiphComment(true), tags);
  return file.save() ? "" : "the tags could not be saved";
}

// Ogg holds Vorbis, Opus, FLAC or Speex; TagLib tells them apart by content.
std::string TagOgg(const std::string& path, const TOutputTags& tags) {
  TagLib::FileRef ref(path.c_str(), false);
  if (ref.isNull()) return "the file could not be read as Ogg";
  if (std::string why = Usable(*ref.file()); !why.empty()) return why;
  auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(ref.file()->tag());
  if (!xiph) return "the file has no Vorbis comment";
  SetXiph(*xiph, tags);
  return ref.save() ? "" : "the tags could not be saved";
}

}  // namespace

std::string WriteOutputTags(const std::string& path, const TOutputTags& tags) {
  if (tags.Empty()) return "";
  const std::string ext = platform::LowerFileExt(path);
  using Writer = std::string (*)(const std::string&, const TOutputTags&);
  Writer writer = nullptr;
  if (ext == ".mp3")
    writer = TagMp3;
  else if (ext == ".m4a" || ext == ".mp4" || ext == ".m4v" || ext == ".mov")
    writer = TagMp4;
  else if (ext == ".flac")
    writer = TagFlac;
  else if (ext == ".ogg" || ext == ".oga" || ext == ".opus")
    writer = TagOgg;
  if (!writer) return "";  // a format we leave untagged
  {
    std::lock_guard lock(g_forcedMutex);
    if (!g_forcedFailure.empty()) return g_forcedFailure;
  }
  try {
    return writer(path, tags);
  } catch (const std::exception& e) {
    return e.what();
  }
}

void ForceOutputTagFailure(const std::string& reason) {
  std::lock_guard lock(g_forcedMutex);
  g_forcedFailure = reason;
}
