// Run control: Start, Stop, the job menu, the output folder picker.
#include <QAction>
#include <QActionGroup>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "log/LogWriter.h"
#include "platform/Files.h"

namespace {

// Property of Quality1 holding the reference of the job its entries belong to.
const char* const kQualityJobRef = "jobRef";

// Menu captions show "&" literally instead of taking it as a shortcut mark.
QString MenuCaption(const std::string& text) {
  return QString::fromStdString(text).replace('&', "&&");
}

}  // namespace

void TfmMain::btnBrowseClick() {
  try {
    const QString folder = edFolder->text();
    if (folder.isEmpty() || !platform::DirectoryExists(folder.toStdString())) return;
    const QString picked = PickFolder
                               ? PickFolder(this, folder)
                               : QFileDialog::getExistingDirectory(
                                     this, "Output folder", folder,
                                     QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!picked.isEmpty()) edFolder->setText(picked);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::btnDownloadClick() {}
void TfmMain::btnStopSelClick() {}

// ---- job menu ----

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
  for (QAction* entry : {Skip1, DownloadOnly1, ConvertOnly1, DownloadConvert1})
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
    const int mode = entry->data().toInt();
    const int row = MenuRow();
    if (row < 0) return;
    TEncItem* job = Jobs()[row];
    if (!job) return;
    // A local file has nothing to download.
    if (!job->IsLink && (mode == jmDownloadOnly || mode == jmDownloadConvert)) return;
    job->Mode = mode;
    ApplyPanelToJob(job);
    ngListItems->SetCellText(colMode, row, ModeCaption(mode));
  } catch (const std::exception& e) {
    LogError(e);
  }
}
