#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <string_view>

#include "app/GuiCallQueue.h"
#include "app/MainWindow.h"
#include "app/QuitSignals.h"

int main(int argc, char** argv) {
  // --start: press Start once the window is up, so the jobs kept in the
  // journal go on without a click (scripts, and the kill test's restarts).
  bool start = false;
  for (int i = 1; i < argc; ++i) start = start || std::string_view(argv[i]) == "--start";
  QApplication application(argc, argv);
  app::CatchQuitSignals();
  app::InstallCallQueueDrain();
  TfmMain fmMain;
  fmMain.FormCreate();
  fmMain.CreateDialogs();  // output name, then options
  app::CloseOnQuitSignals(fmMain);  // SIGTERM, SIGHUP, the session's end: as the close box
  fmMain.show();
  if (start) QTimer::singleShot(0, &fmMain, [&fmMain] { fmMain.btnDownload->click(); });
  return application.exec();
}
