// Links and files becoming jobs: paste, clipboard pickup, drop, Add Files.
#include "app/MainWindow.h"

void TfmMain::RegisterDropAndClipboard() {}
void TfmMain::AddJob(const std::string&, bool) {}
void TfmMain::WMDrawClipboard() {}
void TfmMain::btnPasteClick() {}
void TfmMain::btnAddFilesClick() {}
