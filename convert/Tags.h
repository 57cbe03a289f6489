#pragma once
#include <string>

// What a finished conversion writes into its output. An empty field is left
// as the encoder wrote it.
struct TOutputTags {
  std::string Title;    // UTF-8
  std::string Comment;  // UTF-8; the link the job came from
  bool Empty() const { return Title.empty() && Comment.empty(); }
};

// Sets the title and the comment in the output's own tag format and keeps
// every other tag: ID3v2.4 for .mp3, MP4 atoms for .m4a/.mp4/.m4v/.mov, Vorbis
// comments for .ogg/.oga/.opus/.flac. Other formats (WAV, AVI, WebM, ...) are
// left untagged on purpose. Returns "" when the tags were written or there was
// nothing to write; otherwise why the file was left as the encoder wrote it.
// Any thread; one call per file at a time.
std::string WriteOutputTags(const std::string& path, const TOutputTags& tags);

// Tests: every later WriteOutputTags fails with this reason before it opens
// the file ("" ends that).
void ForceOutputTagFailure(const std::string& reason);
