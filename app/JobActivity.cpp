#include "app/JobActivity.h"

#include <QLabel>
#include <QTimer>
#include <chrono>
#include <exception>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/Notifier.h"
#include "convert/ConvertThread.h"
#include "download/clMultiDownLoader.h"
#include "jobs/Conversion.h"
#include "jobs/JobRunner.h"
#include "log/LogWriter.h"

namespace app {

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Runs(TJobState state) {
  return state == jsDownloading || state == jsEncoding;
}

bool Ended(TJobState state) {
  return state == jsDone || state == jsConvertFailed || state == jsDownloadFailed;
}

}  // namespace

QString ActivityText(int downloading, int waiting, int converting, double bytesPerSecond) {
  // Short enough for the 300-pixel panel.
  return QString("%1 downloading, %2 queued \u00b7 %3 converting \u00b7 %4")
      .arg(downloading)
      .arg(waiting)
      .arg(converting)
      .arg(QString::fromStdString(RateText(bytesPerSecond)));
}

QString ReadingText(int links) {
  return links == 1 ? QString("1 reading link") : QString("%1 reading links").arg(links);
}

TJobActivity::TJobActivity(TfmMain& window, TJobNotifier& notifier)
    : QObject(&window), window_(window), notifier_(notifier), timer_(new QTimer(this)) {
  timer_->setObjectName("ActivityTimer");
  timer_->setInterval(kIntervalMs);
  connect(timer_, &QTimer::timeout, this, &TJobActivity::Refresh);
}

bool TJobActivity::Active() const {
  return timer_->isActive();
}

void TJobActivity::SetReadingLinks(int count, int listDone, int listTotal) {
  if (count == readingLinks_ && listDone == listDone_ && listTotal == listTotal_) return;
  readingLinks_ = count;
  listDone_ = listDone;
  listTotal_ = listTotal;
  ShowFirstPanel();
}

void TJobActivity::ShowFirstPanel() {
  QString text = runText_;
  QString reading;
  // Links outside the playlists being read are counted beside their progress.
  const int others = readingLinks_ - (listTotal_ - listDone_);
  if (listTotal_ > 0) {
    reading = QString("reading %1 of %2").arg(listDone_).arg(listTotal_);
    if (others > 0) reading = ReadingText(others) + " \u00b7 " + reading;
  } else if (readingLinks_ > 0) {
    reading = ReadingText(readingLinks_);
  }
  if (!reading.isEmpty()) text = reading + (text.isEmpty() ? QString() : " \u00b7 " + text);
  if (window_.StatusPanels[0]->text() != text) window_.StatusPanels[0]->setText(text);
}

void TJobActivity::RunStarted() {
  TJobList& jobs = window_.Jobs();
  for (int i = 0; i < jobs.Count(); ++i) {
    const TEncItem* job = jobs[i];
    if (!job) continue;
    TSeen& seen = seen_[job->Ref()];
    seen.state = job->State;
    // A job the run passes by keeps what its last run made.
    if (job->Mode != jmSkip) seen.mode = job->Mode;
  }
  rates_.clear();
  timer_->start();
  Refresh();
}

void TJobActivity::StreamFigures(const TEncItem& job, double now,
                                 std::map<uint64_t, TRateWindow>& rates, int* downloading,
                                 int* waiting, std::string* speed, std::string* left) {
  TJobRunner* runner = window_.clDownLoader.runner_;
  const TJobRunner::TStreamStage stage =
      runner ? runner->StreamStage(job) : TJobRunner::TStreamStage::None;
  if (stage == TJobRunner::TStreamStage::Waiting) ++*waiting;
  // A merge is part of the download (its bytes are all there, so no speed).
  if (stage == TJobRunner::TStreamStage::Merging) ++*downloading;
  if (stage != TJobRunner::TStreamStage::Fetching) return;
  ++*downloading;
  // The encoder's output is written in bursts (a small file only at its end),
  // so the speed is that of its position in the stream, as for a conversion.
  const double length = job.DurationSec;
  if (length <= 0) return;
  const double position = job.Progress / 100 * length;
  TRateWindow& window = rates[job.Ref()] = std::move(rates_[job.Ref()]);
  window.Add(now, static_cast<int64_t>(position * 1000));
  if (!window.HasRate()) return;
  const double times = window.Rate() / 1000;
  if (times <= 0) return;
  *speed = EncoderSpeedText(times);
  *left = TimeLeftText((length - position) / times);
}

std::string TJobActivity::ResultFile(const TEncItem& job) const {
  auto it = seen_.find(job.Ref());
  const int32_t mode = it != seen_.end() && it->second.mode ? it->second.mode : job.Mode;
  if (mode == jmDownloadOnly) return job.MediaFile;
  if (mode == jmConvertOnly || mode == jmDownloadConvert) return job.OutputFile;
  return job.OutputFile.empty() ? job.MediaFile : job.OutputFile;
}

void TJobActivity::Refresh() {
  try {
    TJobList& jobs = window_.Jobs();
    IJobGrid& grid = window_.Grid();
    const double now = Now();
    int downloading = 0, waiting = 0, converting = 0;
    bool running = false;
    double total = 0;
    std::vector<TJobNotifier::TEnd> ends;
    std::map<uint64_t, TRateWindow> rates;
    std::map<uint64_t, TSeen> seen;
    for (int row = 0; row < jobs.Count() && row < grid.RowCount(); ++row) {
      TEncItem* job = jobs[row];
      if (!job) continue;
      std::string speed, left;
      TclDownLoadItem* item = job->DownloadItem;
      if (job->State == jsDownloading && item && item->IsRunning()) {
        ++downloading;
        const TclResourceStateList* state = item->ResourceState();
        const int64_t bytes = state->BytesProceed(), size = state->ResourceSize();
        TRateWindow& window = rates[job->Ref()] = std::move(rates_[job->Ref()]);
        // No segments yet (the probe): a continued download's count would jump
        // from 0 to what earlier runs fetched and read as a burst of speed.
        if (state->Count() > 0) window.Add(now, bytes);
        if (window.HasRate()) {
          const double rate = window.Rate();
          total += rate;
          speed = RateText(rate);
          if (rate > 0 && size > 0) left = TimeLeftText(static_cast<double>(size - bytes) / rate);
        }
      } else if (job->State == jsDownloading && item) {
        ++waiting;
      } else if (job->State == jsDownloading) {
        StreamFigures(*job, now, rates, &downloading, &waiting, &speed, &left);
      } else if (TConvertThread* worker =
                     job->State == jsEncoding ? JobConversionWorker(*job) : nullptr) {
        ++converting;
        const double times = worker->EncoderSpeed;
        if (times > 0) {
          speed = EncoderSpeedText(times);
          const double rest = worker->EncoderDuration - worker->EncoderPosition;
          if (worker->EncoderDuration > 0) left = TimeLeftText(rest / times);
        }
      }
      running = running || Runs(job->State);
      for (auto [col, text] : {std::pair{colSpeed, &speed}, std::pair{colTimeLeft, &left}})
        if (grid.CellText(col, row) != *text) grid.SetCellText(col, row, *text);

      TSeen& was = seen[job->Ref()] = seen_[job->Ref()];
      if (Runs(was.state) && Ended(job->State))
        ends.push_back({job->Title, grid.CellText(colState, row), job->State != jsDone});
      was.state = job->State;
    }
    rates_ = std::move(rates);
    seen_ = std::move(seen);  // removed jobs are forgotten
    runText_ = running ? ActivityText(downloading, waiting, converting, total) : QString();
    ShowFirstPanel();
    notifier_.JobsEnded(ends);
    if (!running) timer_->stop();
  } catch (const std::exception& e) {
    LogError(e);
  }
}

}  // namespace app
