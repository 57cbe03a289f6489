// Drives the real main window headless (offscreen platform) against the
// in-process site simulator, the way a user would: paste links, pick modes,
// press Start. Shared by the fault matrix and the load run.
#pragma once
#include <stdlib.h>

#include <QAction>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "download/clMultiDownLoader.h"
#include "platform/ExeFolder.h"
#include "settings/OutputName.h"
#include "settings/Settings.h"
#include "tools/sitesim/SiteSim.h"

namespace bench {

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Sha256(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

// Peak resident set of this process in KiB (VmHWM), 0 when unknown.
inline long PeakRssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// A scratch folder that is the program's exe folder for the window's life:
// presets.ini (and cvtcore when asked) copied from the build's bin folder.
class TSandbox {
 public:
  TSandbox(const std::string& binDir, bool withEncoder) {
    char pattern[] = "/tmp/vantorel-bench.XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    namespace fs = std::filesystem;
    fs::copy_file(binDir + "/presets.ini", path_ + "/presets.ini");
    if (withEncoder) fs::copy_file(binDir + "/cvtcore", path_ + "/cvtcore");
    fs::create_directory(Out());
    platform::SetExeFolderOverride(path_);
  }
  ~TSandbox() {
    platform::SetExeFolderOverride("");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }
  std::string Out() const { return path_ + "/out"; }
  std::string Log() const { return ReadAll(path_ + "/Log.txt"); }

 private:
  std::string path_;
};

// The main window, created as the process entry creates it, with the simulator as
// its proxy. Message boxes are counted instead of shown.
class TWindow {
 public:
  TWindow(const TSandbox& box, const sitesim::TSiteSim& sim) {
    cvOptions = TcvOptions{};
    OutName = TOutName{};
    window_ = std::make_unique<TfmMain>();
    window_->SetEndProcess([] {});
    window_->FormCreate();
    window_->edFolder->setText(QString::fromStdString(box.Out()));
    cvOptions.IsProxy = true;
    cvOptions.ProxyAdress = sim.ProxyHost();
    cvOptions.ProxyPort = sim.Port();
    SetMessageBoxHook([this](const QString&, const QString&) {
      ++boxes;
      return int(QMessageBox::Ok);
    });
  }
  ~TWindow() {
    SetMessageBoxHook(nullptr);
    window_.reset();
    cvOptions = TcvOptions{};
  }
  TfmMain& operator*() { return *window_; }
  TfmMain* operator->() { return window_.get(); }
  IJobGrid& Grid() { return window_->Grid(); }
  TJobList& Jobs() { return window_->Jobs(); }
  std::string State(int row) { return Grid().CellText(colState, row); }

  // The link's row comes at once and its page is read on the runner's threads;
  // by default this waits until every link pasted so far has been read.
  void Paste(const std::string& url, bool wait = true) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(url));
    window_->btnPaste->click();
    if (wait) WaitLinksRead();
  }
  // False when links were still being read after two minutes.
  bool WaitLinksRead() {
    QElapsedTimer clock;
    clock.start();
    while (!window_->IntakeIdle()) {
      if (clock.elapsed() > 120000) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
  }
  // Sets the mode of the last row through the job menu; false when it is disabled.
  bool SetLastMode(QAction* entry) {
    Grid().SelectRow(Jobs().Count() - 1);
    if (!window_->PreparePopupMenu2() || !entry->isEnabled()) return false;
    entry->trigger();
    return true;
  }
  bool Start() {
    if (!window_->btnDownload->isEnabled()) return false;
    window_->btnDownload->click();
    return true;
  }
  bool Idle() { return window_->btnDownload->isEnabled(); }

  int boxes = 0;

 private:
  std::unique_ptr<TfmMain> window_;
};

inline sitesim::TVideo Video(const std::string& id, int64_t size, const sitesim::TFault& fault) {
  sitesim::TVideo v;
  v.Id = id;
  v.Title = "Clip " + id;
  sitesim::TStream s;
  s.Itag = 18;
  s.Size = size;
  s.Seed = static_cast<uint32_t>(std::hash<std::string>{}(id));
  s.Fault = fault;
  v.Streams.push_back(s);
  return v;
}

}  // namespace bench
