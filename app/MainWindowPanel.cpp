// The conversion panel: the preset and value lists, applying them to jobs and
// showing a selected job's values.
#include <QComboBox>
#include <QSignalBlocker>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "convert/Presets.h"
#include "log/LogWriter.h"
#include "platform/Ini.h"
#include "settings/Settings.h"

namespace {

std::string Text(const QComboBox* list) {
  return list->currentText().toStdString();
}

// Selects the entry equal to text (ignoring case), or none; runs no handler.
void ShowEntry(QComboBox* list, const std::vector<std::string>& items, const std::string& text) {
  const QSignalBlocker blocker(list);
  list->setCurrentIndex(FindPanelEntry(items, text));
}

}  // namespace

void TfmMain::FillPresetList(int index) {
  // Selecting the saved preset applies nothing and leaves the video lists as they are.
  const QSignalBlocker blocker(cbPresets);
  for (const std::string& name : ReadPresetNames(platform::IniFile(PresetsPath())))
    cbPresets->addItem(QString::fromStdString(name));
  cbPresets->setCurrentIndex(index >= 0 && index < cbPresets->count() ? index : -1);
}

void TfmMain::ReadPanelSettings(TCnvtSettings& settings) {
  try {
    TPanelTexts panel;
    panel.Preset = Text(cbPresets);  // empty when no preset is selected
    panel.PresetIndex = cbPresets->currentIndex();
    // Disabled lists still give their shown values.
    panel.ABitrate = Text(cbAbitRate);
    panel.Frequency = Text(cbFrequency);
    panel.Channels = Text(cbChanels);
    panel.VBitrate = Text(cbVBitrate);
    panel.VideoSize = Text(cbVideoSize);
    FillCnvtSettings(panel, platform::IniFile(PresetsPath()), settings);
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::ApplyPanelToJob(TEncItem* job) {
  if (!job) return;
  // Job creation calls this between adding the row and the JobList entry, so it
  // must not throw: a failure is logged and the job keeps what was filled.
  try {
    ReadPanelSettings(job->Settings);
    std::string codec;
    const int index = job->Settings.PresetIndex;
    if (job->Mode != jmDownloadOnly && index >= 0 && index < cbPresets->count())
      codec = cbPresets->itemText(index).toStdString();
    const int row = JobRow(*job);
    if (row >= 0) job->Grid->SetCellText(colCodec, row, codec);
    JobChanged(*job);  // settings, and the mode a menu pick has just set
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::btnApplyClick() {
  try {
    IJobGrid& grid = *ngListItems;
    const bool noneSelected = grid.SelectedRows().empty();
    for (int row = 0; row < grid.RowCount(); ++row) {
      if (!noneSelected && !grid.IsRowSelected(row)) continue;
      if (TEncItem* job = RowJob(grid, row)) ApplyPanelToJob(job);
    }
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::cbPresetsChange() {
  try {
    TCnvtSettings picked;
    ReadPanelSettings(picked);
    // The video values matter only for a preset with a video codec; their
    // shown values stay and still enter the settings.
    const bool video = !picked.VCodec.empty();
    cbVBitrate->setEnabled(video);
    cbVideoSize->setEnabled(video);
    btnApplyClick();
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::cbAbitRateChange() {
  btnApplyClick();
}

void TfmMain::ShowJobSettings(TEncItem* job) {
  if (!job) return;
  const TCnvtSettings& s = job->Settings;
  {
    const QSignalBlocker blocker(cbPresets);
    cbPresets->setCurrentIndex(
        s.PresetIndex >= 0 && s.PresetIndex < cbPresets->count() ? s.PresetIndex : -1);
  }
  ShowEntry(cbAbitRate, AbitRateItems(), PanelNumberText(s.ABitrate));
  ShowEntry(cbVBitrate, VBitrateItems(), PanelNumberText(s.VBitrate));
  ShowEntry(cbFrequency, FrequencyItems(), PanelNumberText(s.Frequency));
  ShowEntry(cbChanels, ChanelsItems(), PanelNumberText(s.Channels));
  ShowEntry(cbVideoSize, VideoSizeItems(), PanelSizeText(s.VideoSize));
}

void TfmMain::ngListItemsBeforeSelect(int row) {
  try {
    if (row < 0 || row >= ngListItems->RowCount()) return;
    ShowJobSettings(RowJob(*ngListItems, row));
  } catch (const std::exception& e) {
    LogError(e);
  }
}
