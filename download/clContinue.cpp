// Continuing a download in its own file: the saved segment table of an earlier
// run is used only for the same resource in the very file it was written to.
#include <sys/stat.h>

#include <algorithm>

#include "download/clMultiDownLoader.h"
#include "platform/Files.h"

void TclDownLoadItem::SetContinueFrom(TclSavedDownload saved) {
  continueFrom_ = std::make_unique<TclSavedDownload>(std::move(saved));
}

std::string TclDownLoadItem::CheckContinue(const TclSavedDownload& saved) const {
  auto* control = Control();
  const TclResourceInfo* info = resourceInfo_.get();
  if (streamSupplied_ || localFile_.empty()) return "the download has no file to continue in";
  if (!info || !info->CanSplit())
    return "the server no longer tells the size of the resource or sends parts of it";
  if (info->Size != saved.ResourceSize)
    return "the resource on the server has " + std::to_string(info->Size) + " bytes, not " +
           std::to_string(saved.ResourceSize);
  if (info->ETag != saved.ETag) return "the resource on the server has another ETag";
  if (info->LastModified != saved.LastModified)
    return "the resource on the server has another modification date";
  if ((keepConnection_ || control->Connection) && saved.Segments.size() != 1)
    return "a kept connection downloads in one segment";
  // The segments must tile the resource exactly, whatever order they are kept in.
  std::vector<TclSavedSegment> tiles = saved.Segments;
  std::sort(tiles.begin(), tiles.end(),
            [](const TclSavedSegment& a, const TclSavedSegment& b) { return a.Pos < b.Pos; });
  int64_t next = 0;
  for (const auto& t : tiles) {
    if (t.Pos != next || t.Size <= 0 || t.Done < 0 || t.Done > t.Size)
      return "the saved segments do not fit the resource";
    next = t.Pos + t.Size;
  }
  if (tiles.empty() || next != info->Size) return "the saved segments do not fit the resource";
  // Bytes counted as done are only trusted in the very file they were written to.
  const std::string file = saved.File.empty() ? localFile_ : saved.File;
  if ((file != localFile_) != (WorkFileName() != localFile_))
    return "the server now sends the resource in another encoding";
  if (!platform::FileExists(file) || !platform::CanOpenForReading(file))
    return "the file \"" + file + "\" is missing";
  struct stat st {};
  if (saved.FileId != 0 &&
      (::stat(file.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_ino) != saved.FileId))
    return "the file \"" + file + "\" was replaced by another one";
  const int64_t had = platform::FileSize(file);
  if (had != info->Size)
    return "the file \"" + file + "\" holds " + std::to_string(had) + " bytes, not " +
           std::to_string(info->Size);
  return {};
}

void TclDownLoadItem::InstallSavedSegments(const TclSavedDownload& saved) {
  DeleteSegments();
  resourceState_.SetResourceSize(saved.ResourceSize);
  for (const auto& t : saved.Segments) {
    auto* s = resourceState_.Add();
    s->SetResourcePos(t.Pos);
    s->SetResourceSize(t.Size);
    s->SetBytesProceed(t.Done);
  }
  TakeSavedFile(saved);
}

void TclDownLoadItem::TakeSavedFile(const TclSavedDownload& saved) {
  workFile_ = saved.File.empty() ? localFile_ : saved.File;
  workFileId_ = saved.FileId;
}
