// Jobs coming and going: paste, clipboard pickup, drop, Add Files, Remove.
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "jobs/ExtractorJobs.h"
#include "jobs/JobRunner.h"
#include "jobs/Resolve.h"
#include "jobs/ResolveService.h"
#include "log/LogWriter.h"
#include "resolve/InetEng.h"
#include "resolve/Resolver.h"
#include "resolve/YtDlpResolver.h"
#include "resolve/youparse.h"
#include "settings/Settings.h"

namespace {

const char* const kAppTitle = "Vantorel 1.0";

// The picker's filter as the program has always described it ("name|patterns|...").
const char* const kOpenFilesFilter =
    "All audio supported files|*.mp3;*.ogg;*.wav;*.wma;*.m4a;*.ac3;*.avi;*.mp4;*.mov;*.wmv;"
    "*.flv;*.mpg;*.mpeg;*.3gp;*.3g2;*.m4v|All video supported files|*.avi;*.mp4;*.mov;*.wmv;"
    "*.flv;*.mpg;*.mpeg;*.3gp;*.3g2;*.m4v";

void ShowIntakeMessage(QWidget* parent, const char* text) {
  ShowMessageBox(parent, QString::fromUtf8(text), QString::fromUtf8(kAppTitle),
                 QMessageBox::NoIcon);
}

QStringList DefaultOpenFilesPicker(QWidget* parent, const QString& filter,
                                   QString* selectedFilter) {
  // Qt's own dialog offers neither a read-only box nor a fixed size.
  return QFileDialog::getOpenFileNames(parent, QString(), QString(), filter, selectedFilter,
                                       QFileDialog::DontUseNativeDialog);
}

// "name|patterns|name|patterns" (patterns split by ";") as Qt's filter entries,
// "name (pattern pattern ...)". A name without patterns is dropped.
std::vector<std::string> QtFileFilters(const std::string& filter) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= filter.size()) {
    size_t bar = filter.find('|', start);
    if (bar == std::string::npos) bar = filter.size();
    parts.push_back(filter.substr(start, bar - start));
    start = bar + 1;
  }
  std::vector<std::string> entries;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string patterns = parts[i + 1];
    std::replace(patterns.begin(), patterns.end(), ';', ' ');
    entries.push_back(parts[i] + " (" + patterns + ")");
  }
  return entries;
}

}  // namespace

void TfmMain::RegisterDropAndClipboard() {
  setAcceptDrops(true);
  // Only changes from now on arrive; until LoadSettings runs AutoPaste is off, so
  // a change seen that early adds nothing.
  connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, &TfmMain::WMDrawClipboard,
          Qt::UniqueConnection);
}

void TfmMain::AddJob(const std::string& text, bool isLink) {
  if (addingJob_) {
    pendingJobs_.push_back({text, isLink, 0});
    return;
  }
  addingJob_ = true;
  AddJobNow(text, isLink, 0);
  addingJob_ = false;
  if (!pendingJobs_.empty()) QTimer::singleShot(0, this, &TfmMain::AddPendingJob);
}

void TfmMain::AddPendingJob() {
  if (addingJob_ || pendingJobs_.empty()) return;
  TPendingJob next = pendingJobs_.front();
  pendingJobs_.erase(pendingJobs_.begin());
  addingJob_ = true;
  AddJobNow(next.text, next.isLink, next.batch);
  addingJob_ = false;
  if (!pendingJobs_.empty()) QTimer::singleShot(0, this, &TfmMain::AddPendingJob);
}

void TfmMain::AddJobNow(const std::string& text, bool isLink, int batch) {
  // Every link of a batch ends in exactly one answer: read, failed or gone.
  bool answered = false;
  auto gone = [&] {
    if (isLink && batch && !answered) LinkGone(0, batch);
    answered = true;
  };
  try {
    const resolve::IResolver* resolver =
        isLink ? runner_->Resolver().Resolvers().For(text) : nullptr;
    if (isLink && !resolver) {
      ShowIntakeMessage(this, "Not valid link!");
      gone();
      return;
    }
    // Clipboard changes are connected before the job list exists (start-up step 2).
    if (!jobList_) throw std::logic_error("The job list does not exist yet");
    if (isLink && !batch) batch = NewLinkBatch(1);
    IJobGrid& grid = Grid();
    auto job = std::make_unique<TEncItem>();
    const int row = grid.AppendRow();
    AttachJobToRow(*job, grid, row);
    job->Source = text;
    job->IsLink = isLink;
    job->Mode = isLink ? jmDownloadConvert : jmConvertOnly;

    const bool reading = isLink && !resolver->Immediate();
    if (!isLink) {
      job->Title = text;
      job->MediaFile = text;
      job->IsVideo = IsVideoFile(text);
    } else if (!reading) {
      // Nothing to fetch (a plain media file): the job is ready at once.
      job->DurationSec = 0;
      if (!ApplyResolution(*job, resolver->Resolve(resolve::MakeRequest(
                                     text, resolve::CurrentFetchProxy(), 0, nullptr)))) {
        ShowIntakeMessage(this, "Error Link!");
        grid.DeleteRow(JobRow(*job));
        gone();
        return;  // frees the job
      }
    } else {
      job->Title = text;  // until the answer comes
    }

    // From here the row stays, so it must get its JobList entry whatever fails:
    // a panel that cannot be applied (no preset) still leaves a usable job.
    if (reading)
      ShowReadingRow(*job, row);
    else
      ShowNewJob(*job, row);
    try {
      Jobs().Add(job.get());
      TEncItem& added = *job.release();
      JobChanged(added);
      if (reading) {
        answered = true;
        ReadJobLink(added, batch);
      }
    } catch (const std::exception& e) {
      LogError(e);
      if (job) grid.DeleteRow(JobRow(*job));
    }
  } catch (const std::exception& e) {
    LogError(e);
  }
  gone();
}

void TfmMain::AddLinkText(const std::string& text) {
  const resolve::TResolverSet& resolvers = runner_->Resolver().Resolvers();
  const std::vector<std::string> lines =
      LinkListLines(text, [&](const std::string& line) { return resolvers.Accepts(line); });
  // Anything but a list of links is one text, untrimmed: one job or one refusal.
  if (lines.empty()) return AddJob(text, true);
  // One after another through the queue, so the window shows each row as it
  // comes; their failures make one box.
  const int batch = NewLinkBatch(static_cast<int>(lines.size()));
  for (const std::string& line : lines) pendingJobs_.push_back({line, true, batch});
  AddPendingJob();
}

void TfmMain::WMDrawClipboard() {
  try {
    if (!cvOptions.AutoPaste) return;
    if (downloaderBusy_ && downloaderBusy_()) return;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasText()) return;
    const std::string text = data->text().toStdString();
    // A resolver for any web link would turn every copied address into a job:
    // those links are taken only when the user asked for it.
    const resolve::IResolver* resolver = runner_->Resolver().Resolvers().For(text);
    if (resolver && (!resolver->AnyLink() || cvOptions.AutoPasteOtherSites)) AddJob(text, true);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::btnPasteClick() {
  try {
    AddLinkText(QGuiApplication::clipboard()->text().toStdString());
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::btnAddFilesClick() {
  try {
    const std::vector<std::string> entries = QtFileFilters(kOpenFilesFilter);
    QStringList filters;
    for (const std::string& entry : entries) filters << QString::fromStdString(entry);
    QString selected = filters.isEmpty() ? QString() : filters.first();
    const TOpenFilesPicker& picker =
        openFilesPicker_ ? openFilesPicker_ : TOpenFilesPicker(&DefaultOpenFilesPicker);
    const QStringList files = picker(this, filters.join(";;"), &selected);
    for (const QString& file : files) AddJob(QFile::encodeName(file).toStdString(), false);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::dragEnterEvent(QDragEnterEvent* event) {
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TfmMain::dragMoveEvent(QDragMoveEvent* event) {
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TfmMain::dragLeaveEvent(QDragLeaveEvent* event) {
  event->accept();
}

void TfmMain::dropEvent(QDropEvent* event) {
  event->setDropAction(Qt::CopyAction);
  event->accept();
  try {
    const QMimeData* data = event->mimeData();
    if (!data) throw std::runtime_error("IDataObject-Pointer is not valid!");
    if (AddDroppedUrls(*data)) return;
    if (!data->hasText()) throw std::runtime_error("The dropped data holds no text");
    std::string text = data->text().toStdString();
    // Dropped text ends at its first zero byte, as plain text always has.
    text.resize(std::min(text.size(), text.find('\0')));
    AddLinkText(text);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::RemoveJobAt(int index) {
  TEncItem* job = index >= 0 && index < jobList_->Count() ? (*jobList_)[index] : nullptr;
  const uint64_t ref = job ? job->Ref() : 0;
  const bool reading = job && job->State == jsReading;
  if (reading) runner_->CancelLinkRead(*job);
  ::RemoveJobAt(*jobList_, *ngListItems, index);
  if (reading) LinkGone(ref, -1);
}

void TfmMain::btnRemoveClick() {
  try {
    // A reading row's request ends here; a job's running download is stopped
    // through run control's hook, and its later completion report finds no job.
    CancelSelectedReadings();
    RemoveSelectedJobs(*jobList_, *ngListItems, stopDownload_);
    SettleLinkBatches();
    ShowReadingCount();
  } catch (const std::exception& e) {
    LogError(e);
  }
}
