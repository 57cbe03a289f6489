#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/GuiCallQueue.h"
#include "app/MainWindow.h"
#include "app/QuitSignals.h"
#include "app/SingleInstance.h"
#include "log/LogWriter.h"
#include "platform/UserFolders.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  app::CatchQuitSignals();
  // vantorel [--start] [LINK|FILE]...: --start presses Start once the work is
  // in, so the jobs kept in the journal go on without a click too.
  bool start = false;
  const QStringList work = app::WorkArguments(application.arguments().mid(1), &start);
  // One window per settings folder: a later start hands its work over and ends.
  app::TSingleInstance instance(platform::UserFilesFolder());
  if (instance.Claim(work, start) == app::TSingleInstance::kHandedOver) return 0;
  app::InstallCallQueueDrain();
  TfmMain fmMain;
  fmMain.FormCreate();
  fmMain.CreateDialogs();  // output name, then options
  app::CloseOnQuitSignals(fmMain);  // SIGTERM, SIGHUP, the session's end: as the close box
  fmMain.show();
  if (!instance.AloneReason().isEmpty()) {
    std::fprintf(stderr, "%s\n", instance.AloneReason().toLocal8Bit().constData());
    LogText(instance.AloneReason().toStdString());
    if (fmMain.StatusPanels[1]->text().isEmpty()) fmMain.StatusPanels[1]->setText(instance.AloneReason());
  }
  instance.SetHandlers([&fmMain](const QStringList& more, bool go) { fmMain.TakeWork(more, go); },
                       [&fmMain] { fmMain.RaiseWindow(); });
  QTimer::singleShot(0, &fmMain, [&fmMain, work, start] { fmMain.TakeWork(work, start); });
  return application.exec();
}
