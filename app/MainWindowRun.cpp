// Run control: Start, Stop, the job menu, the output folder picker.
#include "app/MainWindow.h"

void TfmMain::btnBrowseClick() {}
void TfmMain::btnDownloadClick() {}
void TfmMain::btnStopSelClick() {}
void TfmMain::PopupMenu2Popup(const QPoint&) {}
void TfmMain::Skip1Click() {}
void TfmMain::QualityItemClick() {}
