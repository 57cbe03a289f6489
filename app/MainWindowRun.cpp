// Run control: Start and Stop, the download manager's events and the running
// indicator's timer, each forwarded to the job runner; the window shows and asks.
#include <QLineEdit>
#include <QTimer>
#include <stdexcept>

#include "app/JobActivity.h"
#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "app/Notifier.h"
#include "download/clMultiDownLoader.h"
#include "jobs/JobRunner.h"
#include "log/LogWriter.h"
#include "platform/Files.h"
#include "settings/Settings.h"

namespace {

const int kTimer1Interval = 1000;

}  // namespace

void TfmMain::CreateRunControl() {
  runner_ = std::make_unique<TJobRunner>([this] { return jobList_.get(); },
                                         platform::CallQueue::Current());
  clDownLoader.runner_ = runner_.get();
  TclMultiDownLoader& manager = runner_->DownLoader();
  manager.OnDataItemProceed = [this](TclMultiDownLoader* sender, TclDownLoadItem* item,
                                     TclResourceInfo* info, TclResourceStateItem* state,
                                     const char* data, int size) {
    clDownLoaderDataItemProceed(sender, item, info, state, data, size);
  };
  manager.OnProcessCompleted = [this](TclMultiDownLoader* sender, TclDownLoadItem* item) {
    clDownLoaderProcessCompleted(sender, item);
  };
  runner_->OnRunStarting = [this] {
    SetRunning(true);
    Timer1->start();
    Activity->RunStarted();
  };

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(kTimer1Interval);
  connect(Timer1, &QTimer::timeout, this, &TfmMain::Timer1Timer);

  downloaderBusy_ = [this] { return runner_->DownloadsBusy(); };
  stopDownload_ = [this](TclDownLoadItem* item) { runner_->StopDownload(item); };
}

void TfmMain::CreateJobActivity() {
  Notifier = new app::TJobNotifier(*this, RzTrayIcon1);
  Activity = new app::TJobActivity(*this, *Notifier);
}

TclMultiDownLoader* TfmMain::TDownLoaderAccess::get() const {
  return runner_ ? &runner_->DownLoader() : nullptr;
}

void TfmMain::btnDownloadClick() {
  try {
    if (!platform::DirectoryExists(edFolder->text().toStdString())) {
      ShowMessageBox(this, "Output folder does not exist", "Start Convert", QMessageBox::Critical);
      edFolder->setFocus();
      return;
    }
    StartRun();
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TfmMain::StartRun() {
  OutputFolder = edFolder->text().toStdString();
  runner_->StartRun();
}

void TfmMain::clDownLoaderDataItemProceed(TclMultiDownLoader*, TclDownLoadItem* Item,
                                          TclResourceInfo*, TclResourceStateItem* AStateItem,
                                          const char*, int) {
  runner_->DownloadProgress(Item, AStateItem);
}

void TfmMain::clDownLoaderProcessCompleted(TclMultiDownLoader*, TclDownLoadItem* Item) {
  runner_->DownloadCompleted(Item);
}

void TfmMain::Timer1Timer() {
  const bool running = runner_->AnythingRunning();
  SetRunning(running);
  if (!running) Timer1->stop();
}

void TfmMain::btnStopSelClick() {
  // Tag 0 ("Stop All") stops every row, tag 1 ("Stop Selected") the selected ones.
  const int tag = sender() ? sender()->property("tag").toInt() : 0;
  runner_->StopRows(Grid(), tag != 0);
}

void TfmMain::StopJob(TEncItem* job) {
  runner_->StopJob(job);
}
