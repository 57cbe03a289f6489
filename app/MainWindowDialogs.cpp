// The dialogs the main window opens: output name, options, the folder picker.
#include <QFileDialog>
#include <QLineEdit>
#include <exception>

#include "app/FileNamesDialog.h"
#include "app/MainWindow.h"
#include "app/OptionsDialog.h"
#include "log/LogWriter.h"
#include "platform/Files.h"

void TfmMain::CreateDialogs() {
  if (!fmFileNames) fmFileNames = new TfmFileNames(this);
  if (!fmOptions) fmOptions = new TfmOptions(this);
}

void TfmMain::btnOnameClick() {
  try {
    if (fmFileNames) fmFileNames->Execute();
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::btnOptionsClick() {
  try {
    if (fmOptions) fmOptions->Execute();
  } catch (const std::exception& e) {
    LogError(e);
  }
}

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
