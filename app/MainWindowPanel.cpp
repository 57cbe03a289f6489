// Conversion panel, settings file and the two dialogs of the main window.
#include "app/MainWindow.h"

void TfmMain::LoadSettings() {}
void TfmMain::SaveSettings() {}
void TfmMain::CreateDialogs() {}
void TfmMain::FillPresetList(int) {}
void TfmMain::ReadPanelSettings(TCnvtSettings&) {}
void TfmMain::ApplyPanelToJob(TEncItem*) {}
void TfmMain::ShowJobSettings(TEncItem*) {}
void TfmMain::ngListItemsBeforeSelect(int) {}
void TfmMain::btnOnameClick() {}
void TfmMain::btnOptionsClick() {}
void TfmMain::btnApplyClick() {}
void TfmMain::cbPresetsChange() {}
void TfmMain::cbAbitRateChange() {}
