#pragma once
#include <string>
#include <vector>

// A playlist (or a page of several videos) in the extractor's flat listing: the
// entries, in order, each of which is read on its own later.

struct TYtEntry {
  std::string Link;   // what reads the entry: its page, or its media address
  std::string Title;  // empty when the listing names none
  int DurationSec = -1;
  int Position = 0;  // 0-based place in the playlist, unreadable entries counted
};

struct TYtPlaylist {
  bool IsPlaylist = false;  // the document is a playlist (else: one video)
  std::string Title;
  std::vector<TYtEntry> Entries;
  // Entries the listing gave no link for (null in a partial answer).
  int Missing = 0;
};

// Reads the flat listing; IsPlaylist false for one video's document or a bad one.
TYtPlaylist ParseYtDlpPlaylist(const std::string& json);

// Whether a link names a playlist beside (or instead of) one video: it carries a
// non-empty list= parameter. Such a job offers to add the whole playlist.
bool LinkNamesPlaylist(const std::string& link);
