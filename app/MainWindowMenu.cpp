// The results of a run: opening a job's file or its folder, and what the run
// shows while it goes on (app/JobActivity.cpp).
#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QProcess>
#include <QUrl>
#include <exception>

#include "app/JobActivity.h"
#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/Notifier.h"
#include "log/LogWriter.h"
#include "platform/Files.h"

namespace {

// Through the desktop's handler, with the path exactly as it is.
void OpenWithDesktop(const std::string& path) {
  const QString file = QString::fromStdString(path);
  if (!QProcess::startDetached("xdg-open", {file}))
    QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

// The folder of a file, without the trailing slash (unless it is the root).
std::string FolderOf(const std::string& path) {
  std::string folder = platform::ExtractFilePath(path);
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace

void TfmMain::CreateJobActivity() {
  Notifier = new app::TJobNotifier(*this, RzTrayIcon1);
  Activity = new app::TJobActivity(*this, *Notifier);

  PopupMenu2->addSeparator();
  Open1 = PopupMenu2->addAction("Open");
  Open1->setObjectName("Open1");
  ShowInFolder1 = PopupMenu2->addAction("Show in folder");
  ShowInFolder1->setObjectName("ShowInFolder1");
  for (QAction* entry : {Open1, ShowInFolder1}) entry->setEnabled(false);
  connect(Open1, &QAction::triggered, this, &TfmMain::OpenResultClick);
  connect(ShowInFolder1, &QAction::triggered, this, &TfmMain::ShowInFolderClick);
  connect(ngListItems, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { ngListItemsDblClick(row); });
}

std::string TfmMain::JobResultFile(const TEncItem& job) const {
  return Activity ? Activity->ResultFile(job) : std::string();
}

void TfmMain::PrepareOpenEntries(const TEncItem* job) {
  const std::string file = job ? JobResultFile(*job) : std::string();
  const bool exists = !file.empty() && platform::FileExists(file);
  Open1->setEnabled(exists);
  ShowInFolder1->setEnabled(exists);
}

void TfmMain::OpenResultClick() {
  try {
    const int row = MenuRow();
    const TEncItem* job = row >= 0 ? RowJob(*ngListItems, row) : nullptr;
    const std::string file = job ? JobResultFile(*job) : std::string();
    if (platform::FileExists(file)) OpenWithDesktop(file);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::ShowInFolderClick() {
  try {
    const int row = MenuRow();
    const TEncItem* job = row >= 0 ? RowJob(*ngListItems, row) : nullptr;
    const std::string file = job ? JobResultFile(*job) : std::string();
    if (platform::FileExists(file)) OpenWithDesktop(FolderOf(file));
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::ngListItemsDblClick(int row) {
  try {
    // Also during a run: a finished job's file no longer changes.
    const TEncItem* job = RowJob(*ngListItems, row);
    if (!job || job->State != jsDone) return;
    const std::string file = JobResultFile(*job);
    if (platform::FileExists(file)) OpenWithDesktop(file);
  } catch (const std::exception& e) {
    LogError(e);
  }
}
