#pragma once
#include <QObject>
#include <QString>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/JobRates.h"
#include "jobs/EncItem.h"

class QTimer;
class TfmMain;

namespace app {

class TJobNotifier;

// What a run looks like while it goes on: the Speed and Time left cells, the
// totals in the status bar's first panel, and the notice when jobs end. A timer
// of its own reads the byte counts and the encoders' speeds a few times a
// second, so the download's per-block path does no extra work. GUI thread only.
class TJobActivity : public QObject {
  Q_OBJECT
 public:
  static constexpr int kIntervalMs = 250;

  TJobActivity(TfmMain& window, TJobNotifier& notifier);

  // A run starts: the states and modes of now are what later ends compare with.
  void RunStarted();
  // One refresh (the timer's tick); stops the timer once nothing runs.
  void Refresh();
  bool Active() const;
  // How many links are being read now: the first panel counts them.
  // listDone of listTotal: entries of playlists being read that have their answer.
  void SetReadingLinks(int count, int listDone = 0, int listTotal = 0);

  // The file a job's run produced: the converted file, or the download of a
  // job that ran as Download Only. Empty when there is none.
  std::string ResultFile(const TEncItem& job) const;

 private:
  struct TSeen {
    TJobState state = jsNew;
    int32_t mode = 0;  // the mode the run started with
  };

  TfmMain& window_;
  TJobNotifier& notifier_;
  QTimer* timer_;
  int readingLinks_ = 0;
  int listDone_ = 0;
  int listTotal_ = 0;
  QString runText_;  // the run's part of the first panel
  void ShowFirstPanel();
  // A downloading job without an engine item (an HLS fetch, a pair's merge):
  // counted, and a fetch's speed (times real time) and time left from how far
  // into the stream it got.
  void StreamFigures(const TEncItem& job, double now, std::map<uint64_t, TRateWindow>& rates,
                     int* downloading, int* waiting, std::string* speed, std::string* left);
  std::map<uint64_t, TRateWindow> rates_;
  std::map<uint64_t, TSeen> seen_;
};

// "2 downloading, 1 queued · 1 converting · 2.4 MB/s".
QString ActivityText(int downloading, int waiting, int converting, double bytesPerSecond);
// "1 reading link", "2 reading links".
QString ReadingText(int links);

}  // namespace app
