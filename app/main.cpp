#include <QApplication>

#include "app/GuiCallQueue.h"
#include "app/MainWindow.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  app::InstallCallQueueDrain();
  TfmMain fmMain;
  fmMain.FormCreate();
  fmMain.CreateDialogs();  // output name, then options
  fmMain.show();
  return application.exec();
}
