// A link read as a playlist: one job per entry, in the playlist's order. The
// rows come at once from the flat listing; each entry is then read on its own
// by the runner's link reading, at most four at once like a pasted list.
#include <QTimer>
#include <algorithm>
#include <exception>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "jobs/JobRunner.h"
#include "log/LogWriter.h"
#include "resolve/YtDlpPlaylist.h"

namespace {
const char* const kAppTitle = "Vantorel 1.0";
}  // namespace

TEncItem& TfmMain::AppendReadingJob(const std::string& link, const std::string& title,
                                    int duration) {
  IJobGrid& grid = Grid();
  auto job = std::make_unique<TEncItem>();
  const int row = grid.AppendRow();
  AttachJobToRow(*job, grid, row);
  job->Source = link;
  job->IsLink = true;
  job->Mode = jmDownloadConvert;
  job->Title = title.empty() ? link : title;
  job->DurationSec = std::max(duration, 0);
  ShowReadingRow(*job, row);
  try {
    Jobs().Add(job.get());
  } catch (...) {
    grid.DeleteRow(JobRow(*job));
    throw;
  }
  TEncItem& added = *job.release();
  JobChanged(added);
  return added;
}

void TfmMain::PlaylistRead(TEncItem& job, int batch, const resolve::TResolvedJob& answer) {
  if (!answer.Notes.empty()) LogText(answer.Notes);
  // A channel lists its playlists, which list videos; deeper than that, or an
  // entry that is the list itself, would never end.
  TPlaylistOffer offer{job.Ref(), batch, {}, answer.MissingEntries};
  const auto parent = linkBatches_.find(batch);
  const int depth = parent != linkBatches_.end() ? parent->second.depth : 0;
  for (const resolve::TResolvedEntry& e : answer.Entries) {
    if (e.Link == job.Source) {
      ++offer.missing;
    } else {
      offer.entries.push_back(e);
    }
  }
  if (depth >= kMaxPlaylistDepth && !offer.entries.empty()) {
    LinkRead(job, false, batch);
    LogText("Error Link: " + job.Source + ": a playlist inside playlists " +
            std::to_string(depth) + " deep is left out");
    return;
  }
  if (offer.entries.empty()) {
    // Nothing of it can be read: the link fails as any other.
    LogText("Error Link: " + job.Source + ": " +
            (answer.Failure.empty() ? std::string("the playlist lists no video") : answer.Failure));
    LinkRead(job, false, batch, answer.ShowFailure ? answer.Failure : std::string(),
             answer.Advice);
    return;
  }
  LogText("Playlist " + job.Source + ": " + std::to_string(offer.entries.size()) + " videos" +
          (offer.missing ? ", " + std::to_string(offer.missing) + " unreadable" : std::string()));
  if (offer.entries.size() <= static_cast<size_t>(kAskAbovePlaylist))
    return AddPlaylistEntries(offer, offer.entries.size());
  // Not from inside the answer: a box runs its own event loop.
  playlistOffers_.push_back(std::move(offer));
  QTimer::singleShot(0, this, &TfmMain::AskPlaylistOffers);
}

void TfmMain::AskPlaylistOffers() {
  if (askingPlaylist_) return;
  askingPlaylist_ = true;
  while (!playlistOffers_.empty()) {
    TPlaylistOffer offer = std::move(playlistOffers_.front());
    playlistOffers_.pop_front();
    try {
      TEncItem* job = TEncItem::FromRef(offer.ref);
      int index = job ? Jobs().IndexOf(job) : -1;
      int choice = -1;
      if (index >= 0) {
        const QString text = QString("Add all %1 videos?").arg(offer.entries.size());
        choice = ShowChoiceBox(this, text, QString::fromUtf8(kAppTitle),
                               {"Yes", QString("First %1").arg(kAskAbovePlaylist), "Cancel"});
        // The row may have gone while the box was open.
        job = TEncItem::FromRef(offer.ref);
        index = job ? Jobs().IndexOf(job) : -1;
      }
      if (index >= 0 && (choice == 0 || choice == 1)) {
        AddPlaylistEntries(offer, choice == 0 ? offer.entries.size()
                                              : static_cast<size_t>(kAskAbovePlaylist));
        continue;
      }
      if (index >= 0) ::RemoveJobAt(Jobs(), *ngListItems, index);
      LinkGone(0, offer.batch);
    } catch (const std::exception& e) {
      LogError(e);
      LinkGone(0, offer.batch);
    }
  }
  askingPlaylist_ = false;
}

void TfmMain::AddPlaylistEntries(const TPlaylistOffer& offer, size_t count) {
  TEncItem* job = TEncItem::FromRef(offer.ref);
  if (!job || Jobs().IndexOf(job) < 0) return LinkGone(0, offer.batch);
  count = std::min(count, offer.entries.size());
  // Unreadable entries count among the videos asked for: those before the last taken.
  int missing = offer.missing;
  if (count < offer.entries.size())
    missing = offer.entries[count - 1].Position + 1 - static_cast<int>(count);
  const int entriesBatch = NewLinkBatch(static_cast<int>(count) + missing);
  TLinkBatch& b = linkBatches_[entriesBatch];
  b.videos = true;
  b.missing = missing;
  b.unanswered = static_cast<int>(count);
  // The playlist's link has its answer: its row becomes the first entry's.
  if (auto it = linkBatches_.find(offer.batch); it != linkBatches_.end()) {
    b.depth = it->second.depth + 1;
    --it->second.unanswered;
  }
  const resolve::TResolvedEntry& first = offer.entries[0];
  job->Source = first.Link;
  job->Resolver.clear();
  job->Title = first.Title.empty() ? first.Link : first.Title;
  job->DurationSec = std::max(first.DurationSec, 0);
  if (const int row = JobRow(*job); row >= 0) ShowReadingRow(*job, row);
  JobChanged(*job);
  ReadJobLink(*job, entriesBatch);
  for (size_t i = 1; i < count; ++i) {
    const resolve::TResolvedEntry& e = offer.entries[i];
    try {
      ReadJobLink(AppendReadingJob(e.Link, e.Title, e.DurationSec), entriesBatch);
    } catch (const std::exception& ex) {
      LogError(ex);
      LinkGone(0, entriesBatch);
    }
  }
  SettleLinkBatches();
  ShowReadingCount();
}

void TfmMain::AddWholePlaylistClick() {
  try {
    const int row = MenuRow();
    const TEncItem* job = row >= 0 ? RowJob(*ngListItems, row) : nullptr;
    if (!job || !job->IsLink || job->State == jsReading || !LinkNamesPlaylist(job->Source))
      return;
    // A row of its own reads the playlist; the video's job stays as it is.
    const std::string link = job->Source;
    const int batch = NewLinkBatch(1);
    try {
      TEncItem& reading = AppendReadingJob(link, link, 0);
      reading.Resolver = kWholePlaylistReader;
      JobChanged(reading);
      ReadJobLink(reading, batch, true);
    } catch (...) {
      LinkGone(0, batch);
      throw;
    }
  } catch (const std::exception& e) {
    LogError(e);
  }
}
