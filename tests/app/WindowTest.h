#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "platform/ExeFolder.h"
#include "settings/OutputName.h"
#include "settings/Settings.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

// A created main window beside the built presets (and whatever else a test
// copies there), an output folder of its own, page requests and downloads
// through the simulator as proxy, message boxes answered with OK.
class TWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { OpenWindow({"presets.ini"}); }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    SetChoiceBoxHook(nullptr);
    window.reset();
    cvOptions = TcvOptions{};
    OutName = TOutName{};
    platform::SetExeFolderOverride("");
  }

  // files: built files copied beside the program before it starts.
  void OpenWindow(std::initializer_list<const char*> files) {
    platform::SetExeFolderOverride(dir.path());
    for (const char* name : files)
      std::filesystem::copy_file(testsupport::BinDir() + name, dir / name);
    std::filesystem::create_directory(out());
    cvOptions = TcvOptions{};
    sim.Start();
    window = std::make_unique<TfmMain>();
    window->SetEndProcess([this] { ++ended; });
    window->FormCreate();  // reads the options: ours come after
    window->edFolder->setText(QString::fromStdString(out()));
    cvOptions.IsProxy = true;
    cvOptions.ProxyAdress = sim.ProxyHost();
    cvOptions.ProxyPort = sim.Port();
    SetMessageBoxHook([](const QString&, const QString&) { return int(QMessageBox::Ok); });
  }

  std::string out() const { return dir / "out"; }
  std::string Cell(int col, int row) { return window->Grid().CellText(col, row); }
  bool WaitState(int row, const std::string& state, int ms = 30000) {
    return QTest::qWaitFor([&] { return Cell(colState, row) == state; }, ms);
  }
  // Pastes the watch link of a video the simulator has and makes it Download Only.
  void PasteDownloadOnly(const std::string& id) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(sim.WatchUrl(id)));
    window->btnPaste->click();
    // The link is read off the GUI thread.
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
    window->Grid().SelectRow(window->Jobs().Count() - 1);
    ASSERT_TRUE(window->PreparePopupMenu2());
    window->DownloadOnly1->trigger();
  }

  testsupport::TempDir dir;
  sitesim::TSiteSim sim;
  std::unique_ptr<TfmMain> window;
  int ended = 0;  // calls of the end-of-process hook
};
