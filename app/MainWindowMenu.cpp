// The job table's own actions: the job menu (mode, quality, opening a job's file
// or its folder), a double click on a finished row, a click showing a job's notes.
#include <QAction>
#include <QActionGroup>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QFile>
#include <QPushButton>
#include <QStatusBar>
#include <QUrl>
#include <exception>

#include "app/JobActivity.h"
#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "log/LogWriter.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "resolve/YtDlpPlaylist.h"

namespace {

// Property of Quality1 holding the reference of the job its entries belong to.
const char* const kQualityJobRef = "jobRef";

// Menu captions show "&" literally instead of taking it as a shortcut mark.
QString MenuCaption(const std::string& text) {
  return QString::fromStdString(text).replace('&', "&&");
}

// Through the desktop's handler, with the path's bytes exactly as they are (a
// name that is not UTF-8 would not survive a QString).
void OpenWithDesktop(const std::string& path) {
  if (!platform::StartDetached({"xdg-open", path}))
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path))));
}

// The folder of a file, without the trailing slash (unless it is the root).
std::string FolderOf(const std::string& path) {
  std::string folder = platform::ExtractFilePath(path);
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The mode that continues a job's stopped or failed download; 0 when it has
// none (a finished download, even with its conversion stopped, has nothing left).
int ContinueMode(const TEncItem& job) {
  if (!job.IsLink || job.Resume.Empty()) return 0;
  if (job.State != jsStopped && job.State != jsDownloadFailed) return 0;
  for (int32_t mode : {job.LastDownloadMode, job.Mode})
    if (mode == jmDownloadOnly || mode == jmDownloadConvert) return mode;
  return 0;
}

}  // namespace

void TfmMain::BuildJobMenu() {
  // Each mode entry's data is the mode it sets; the quality entries are built
  // each time the menu opens, the Open entries enabled then.
  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName("PopupMenu2");
  Mode1 = PopupMenu2->addMenu("Mode");
  Mode1->setObjectName("Mode1");
  const std::pair<QAction**, const char*> modeEntries[] = {{&Skip1, "Skip1"},
                                                           {&DownloadOnly1, "DownloadOnly1"},
                                                           {&ConvertOnly1, "ConvertOnly1"},
                                                           {&DownloadConvert1, "DownloadConvert1"}};
  for (int tag = 1; tag <= 4; ++tag) {
    QAction* entry = Mode1->addAction(MenuCaption(ModeCaption(tag)));
    entry->setObjectName(modeEntries[tag - 1].second);
    entry->setData(tag);
    *modeEntries[tag - 1].first = entry;
    connect(entry, &QAction::triggered, this, &TfmMain::Skip1Click);
  }
  Quality1 = PopupMenu2->addMenu("Quality");
  Quality1->setObjectName("Quality1");
  connect(ngListItems, &QWidget::customContextMenuRequested, this, &TfmMain::PopupMenu2Popup);
  ContinueDownload1 = PopupMenu2->addAction("Continue Download");
  ContinueDownload1->setObjectName("ContinueDownload1");
  ContinueDownload1->setEnabled(false);
  connect(ContinueDownload1, &QAction::triggered, this, &TfmMain::ContinueDownloadClick);
  AddPlaylist1 = PopupMenu2->addAction("Add the whole playlist");
  AddPlaylist1->setObjectName("AddPlaylist1");
  AddPlaylist1->setEnabled(false);
  connect(AddPlaylist1, &QAction::triggered, this, &TfmMain::AddWholePlaylistClick);

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

int TfmMain::MenuRow() const {
  const int current = ngListItems->currentRow();
  if (current >= 0 && ngListItems->IsRowSelected(current)) return current;
  const std::vector<int> selected = ngListItems->SelectedRows();
  return selected.empty() ? -1 : selected.front();
}

bool TfmMain::PreparePopupMenu2() {
  // Modes and qualities change only between runs.
  if (ngListItems->RowCount() == 0 || !btnDownload->isEnabled()) return false;
  const int row = MenuRow();
  if (row < 0) return false;

  TEncItem* job = nullptr;
  for (QAction* entry :
       {Skip1, DownloadOnly1, ConvertOnly1, DownloadConvert1, ContinueDownload1, AddPlaylist1})
    entry->setEnabled(false);
  Quality1->clear();
  for (QActionGroup* group : Quality1->findChildren<QActionGroup*>(Qt::FindDirectChildrenOnly))
    delete group;
  Quality1->setProperty(kQualityJobRef, QVariant::fromValue<qulonglong>(0));
  try {
    job = RowJob(*ngListItems, row);
    if (job) {
      const std::string cell = ngListItems->CellText(colMode, row);
      auto differs = [&cell](int mode) { return cell != ModeCaption(mode); };
      Skip1->setEnabled(differs(jmSkip));
      DownloadOnly1->setEnabled(differs(jmDownloadOnly) && job->IsLink);
      ConvertOnly1->setEnabled(differs(jmConvertOnly) && platform::FileExists(job->MediaFile));
      DownloadConvert1->setEnabled(differs(jmDownloadConvert) && job->IsLink);
      ContinueDownload1->setEnabled(ContinueMode(*job) != 0);
      AddPlaylist1->setEnabled(job->IsLink && job->State != jsReading &&
                               LinkNamesPlaylist(job->Source));

      Quality1->setProperty(kQualityJobRef, QVariant::fromValue<qulonglong>(job->Ref()));
      auto* group = new QActionGroup(Quality1);
      group->setExclusive(true);
      for (size_t i = 0; i < job->Qualities.size(); ++i) {
        const TQuality& quality = job->Qualities[i];
        QAction* entry = Quality1->addAction(MenuCaption(quality.Name));
        entry->setCheckable(true);
        entry->setActionGroup(group);
        entry->setData(static_cast<int>(i));
        entry->setStatusTip(QString::fromStdString(quality.Link.Url));  // the hint
        entry->setChecked(static_cast<int32_t>(i) == job->QualityIndex);
        connect(entry, &QAction::triggered, this, &TfmMain::QualityItemClick);
      }
    }
  } catch (const std::exception& e) {
    LogError(e);
  }
  Quality1->setEnabled(job && !job->Qualities.empty());
  PrepareOpenEntries(job);
  return true;
}

void TfmMain::PopupMenu2Popup(const QPoint& pos) {
  if (PreparePopupMenu2()) PopupMenu2->exec(ngListItems->viewport()->mapToGlobal(pos));
}

void TfmMain::QualityItemClick() {
  try {
    auto* entry = qobject_cast<QAction*>(sender());
    if (!entry) return;
    // The job is found again by reference: a removed job finds nothing.
    TEncItem* job = TEncItem::FromRef(Quality1->property(kQualityJobRef).toULongLong());
    if (!job) return;
    // Another quality is another resource: nothing of the old file continues.
    if (entry->data().toInt() != job->QualityIndex) job->Resume.Clear();
    job->StreamUrl = entry->statusTip().toStdString();
    job->SetQuality(entry->data().toInt());
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::Skip1Click() {
  try {
    auto* entry = qobject_cast<QAction*>(sender());
    if (!entry) return;
    SetRowMode(MenuRow(), entry->data().toInt());
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::SetRowMode(int row, int mode) {
  if (row < 0) return;
  TEncItem* job = Jobs()[row];
  if (!job) return;
  // A local file has nothing to download.
  if (!job->IsLink && (mode == jmDownloadOnly || mode == jmDownloadConvert)) return;
  job->Mode = mode;
  ApplyPanelToJob(job);
  ngListItems->SetCellText(colMode, row, ModeCaption(mode));
}

void TfmMain::ContinueDownloadClick() {
  try {
    const int row = MenuRow();
    const TEncItem* job = row >= 0 ? RowJob(*ngListItems, row) : nullptr;
    const int mode = job ? ContinueMode(*job) : 0;
    if (mode == 0) return;
    SetRowMode(row, mode);
    btnDownloadClick();
  } catch (const std::exception& e) {
    LogError(e);
  }
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

void TfmMain::ngListItemsCellClick(int col, int row) {
  try {
    if (!jobList_ || row < 0 || row >= jobList_->Count()) return;
    TEncItem* job = (*jobList_)[row];
    if (!job) return;
    const QString notes = QString::fromStdString(job->Notes);
    StatusPanels[1]->setText(notes);
    statusBar()->setToolTip(notes);
  } catch (const std::exception& e) {
    LogError(e);
  }
}
