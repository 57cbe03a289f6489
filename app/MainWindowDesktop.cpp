// The window among other programs: work handed over by a start's arguments or
// by a later start over the bus, URIs dropped by a file manager or a browser,
// raising the window, and the keys people try first.
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "jobs/EncItem.h"
#include "log/LogWriter.h"

namespace {

const char* const kAppTitle = "Vantorel 1.0";
// What the intake shows on a row while its link is read on a thread.
const char* const kReadingLink = "Reading link...";
const int kIntakePollMs = 100;

// The patterns of the Add Files picker's filter (audio and video), without case:
// a file manager offers CLIP.MP4 as readily as clip.mp4.
const char* const kMediaExtensions[] = {"mp3", "ogg", "wav", "wma", "m4a", "ac3", "avi", "mp4",
                                        "mov", "wmv", "flv", "mpg", "mpeg", "3gp", "3g2", "m4v"};

bool IsWebLink(const QString& text) {
  return text.startsWith("http://", Qt::CaseInsensitive) ||
         text.startsWith("https://", Qt::CaseInsensitive);
}

bool IsMediaFile(const QString& path) {
  const QFileInfo file(path);
  if (!file.isFile()) return false;
  const QString suffix = file.suffix();
  for (const char* ext : kMediaExtensions)
    if (suffix.compare(QLatin1String(ext), Qt::CaseInsensitive) == 0) return true;
  return false;
}

// One piece of work as AddJob takes it; false (nothing added) when it is neither.
bool SortWork(const QString& item, std::pair<std::string, bool>* job) {
  if (IsWebLink(item)) {
    *job = {item.toStdString(), true};
    return true;
  }
  QString path = item;
  if (item.startsWith("file:", Qt::CaseInsensitive)) {
    const QUrl url(item);
    if (!url.isLocalFile()) return false;
    path = url.toLocalFile();
  }
  if (!IsMediaFile(path)) return false;
  *job = {QFile::encodeName(QFileInfo(path).absoluteFilePath()).toStdString(), false};
  return true;
}

}  // namespace

void TfmMain::TakeWork(const QStringList& work, bool start) {
  QStringList refused;
  for (const QString& item : work) {
    std::pair<std::string, bool> job;
    if (SortWork(item, &job))
      pendingJobs_.push_back({job.first, job.second, 0});
    else
      refused << item;
  }
  AddPendingJob();
  if (!refused.isEmpty()) {
    const QString text = "Neither a link nor a media file, not added: " + refused.join(", ");
    LogText("Error: " + text.toStdString());
    // Later: the box's own loop must not hold up whoever handed the work over.
    QTimer::singleShot(0, this, [this, text] {
      ShowMessageBox(this, text, QString::fromUtf8(kAppTitle), QMessageBox::Warning);
    });
  }
  if (!start) return;
  // Links may still be read on threads after AddJob has returned: Start waits
  // until none is.
  auto* poll = new QTimer(this);
  poll->setInterval(kIntakePollMs);
  connect(poll, &QTimer::timeout, this, [this, poll] {
    if (IntakeBusy()) return;
    poll->deleteLater();
    poll->stop();
    if (btnDownload->isEnabled()) btnDownload->click();
  });
  poll->start();
}

bool TfmMain::IntakeBusy() const {
  if (addingJob_ || !pendingJobs_.empty()) return true;
  for (int row = 0; row < ngListItems->RowCount(); ++row)
    if (ngListItems->CellText(colState, row) == kReadingLink) return true;
  return false;
}

bool TfmMain::AddDroppedUrls(const QMimeData& data) {
  if (!data.hasUrls()) return false;
  const QList<QUrl> urls = data.urls();
  bool local = false;
  for (const QUrl& url : urls) local = local || url.isLocalFile();
  // Links alone come with their text too, which is read as a pasted list.
  if (!local && data.hasText()) return false;
  QStringList work;
  for (const QUrl& url : urls) work << (url.isLocalFile() ? url.toLocalFile() : url.toString());
  TakeWork(work, false);
  return true;
}

void TfmMain::RaiseWindow() {
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
  RzTrayIcon1RestoreApp();
}

void TfmMain::BuildShortcuts() {
  auto windowAction = [this](QAction*& action, const char* name, const char* caption,
                             const QKeySequence& keys, void (TfmMain::*slot)()) {
    action = new QAction(QString::fromUtf8(caption), this);
    action->setObjectName(name);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
    connect(action, &QAction::triggered, this, slot);
  };
  // A focused folder box keeps Ctrl+V, Ctrl+A and Delete for its own text.
  windowAction(actPaste, "actPaste", "Paste", QKeySequence::Paste, &TfmMain::btnPasteClick);
  windowAction(actAddFiles, "actAddFiles", "Add Files...", QKeySequence::Open,
               &TfmMain::btnAddFilesClick);
  windowAction(actRemove, "actRemove", "Remove", QKeySequence::Delete, &TfmMain::btnRemoveClick);
  windowAction(actSelectAll, "actSelectAll", "Select All", QKeySequence::SelectAll,
               &TfmMain::SelectAllRows);
  windowAction(actQuit, "actQuit", "Close", QKeySequence(Qt::CTRL | Qt::Key_Q),
               &TfmMain::Close1Click);

  // Enter belongs to the table only: in the folder box or on a button it is theirs.
  actOpenRow = new QAction("Open", ngListItems);
  actOpenRow->setObjectName("actOpenRow");
  actOpenRow->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
  actOpenRow->setShortcutContext(Qt::WidgetShortcut);
  ngListItems->addAction(actOpenRow);
  connect(actOpenRow, &QAction::triggered, this, [this] {
    if (ngListItems->currentRow() >= 0) ngListItemsDblClick(ngListItems->currentRow());
  });

  // The job menu shows the keys: Open's is the table's Enter (a menu takes
  // Enter for its own entries, so the key never fires from there).
  Open1->setShortcut(QKeySequence(Qt::Key_Return));
  PopupMenu2->addSeparator();
  for (QAction* action : {actPaste, actAddFiles, actRemove, actSelectAll})
    PopupMenu2->addAction(action);

  // Top to bottom, left to right.
  QWidget* order[] = {ngListItems, btnPaste,   btnAddFiles, btnRemove,   edFolder,
                      btnBrowse,   btnOname,   cbPresets,   cbAbitRate,  cbFrequency,
                      cbChanels,   cbVBitrate, cbVideoSize, btnApply,    btnOptions,
                      btnDownload, btnStopSel, btnStop};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void TfmMain::SelectAllRows() {
  ngListItems->selectAll();
}
