#include <QApplication>

#include "app/GuiCallQueue.h"
#include "app/MainWindow.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  app::InstallCallQueueDrain();
  TfmMain fmMain;
  fmMain.FormCreate();
  // The output-name and options dialogs are created here, once each, when they land.
  fmMain.show();
  return application.exec();
}
