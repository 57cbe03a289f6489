#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A download of an item's file left unfinished by an earlier run: the resource
// as the server described it then and how far each segment got (Done bytes of
// [Pos, Pos + Size) are in the file). The job keeps one of these for its
// download, and the journal stores it.
struct TclSavedSegment {
  int64_t Pos = 0;
  int64_t Size = 0;
  int64_t Done = 0;
};
struct TclSavedDownload {
  int64_t ResourceSize = 0;
  std::string ETag;
  std::string LastModified;
  std::vector<TclSavedSegment> Segments;
  // The file the segments were written to (empty: the item's LocalFile) and its
  // identity (inode; 0 = not known). Bytes are only ever trusted in that very file.
  std::string File = {};
  uint64_t FileId = 0;
  // Nothing to continue.
  bool Empty() const { return ResourceSize <= 0 || Segments.empty(); }
  void Clear() { *this = TclSavedDownload(); }
};
