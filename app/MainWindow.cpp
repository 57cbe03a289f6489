// Window set-up: the controls, start-up and shut-down steps, closing, the tray icon.
#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "app/Accessible.h"
#include "app/GuiCallQueue.h"
#include "app/JobGridWidget.h"
#include "app/WindowGeometry.h"
#include "download/clMultiDownLoader.h"
#include "download/clNetBase.h"
#include "jobs/ExtractorJobs.h"
#include "jobs/JobRunner.h"
#include "jobs/Journal.h"
#include "log/LogWriter.h"
#include "platform/UserFolders.h"
#include "resolve/InetEng.h"
#include "settings/Settings.h"

namespace {

const char* const kTitle = "Vantorel 1.0";
const int kClientWidth = 769;
const int kClientHeight = 582;
const int kFolderPanelHeight = 81;
const int kConvertPanelHeight = 100;
const int kCommandRowHeight = 41;
const int kStatusBarHeight = 19;
const int kStatusPanelWidth = 300;

const char* const kSameAsInput = "Same As Input";

// Running jobs are journaled at this pace; other changes as they happen.
const int kJournalTickMs = 1000;
// Closing waits at most this long for the journal's last commit.
const auto kJournalFlushLimit = std::chrono::seconds(3);

QIcon AppIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x2e, 0x6d, 0xb4));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawPolyline(QPolygonF({QPointF(8, 8), QPointF(16, 24), QPointF(24, 8)}));
  painter.end();
  return QIcon(pixmap);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(name);
  return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption) {
  auto* label = new QLabel(QString::fromUtf8(caption), parent);
  label->setObjectName(name);
  return label;
}

QComboBox* MakeList(QWidget* parent, const char* name, const QStringList& values) {
  auto* list = new QComboBox(parent);
  list->setObjectName(name);
  list->setEditable(false);
  if (!values.isEmpty()) {
    list->addItem(kSameAsInput);
    list->addItems(values);
    list->setCurrentIndex(0);
  }
  return list;
}

QWidget* MakePanel(QWidget* parent, const char* name, int height) {
  auto* panel = new QWidget(parent);
  panel->setObjectName(name);
  if (height > 0) panel->setFixedHeight(height);
  return panel;
}

}  // namespace

TfmMain::TfmMain(QWidget* parent) : QMainWindow(parent) {
  setObjectName("fmMain");
  endProcess_ = [] {
    // Running downloads and conversions are abandoned where they stand.
    std::fflush(nullptr);
    std::_Exit(0);
  };
  setWindowIcon(AppIcon());
  BuildControls();
  BuildTray();
  // The first size is also the least; settings.ini may hold the last session's.
  setMinimumSize(kClientWidth, kClientHeight);
  resize(kClientWidth, kClientHeight);
  CenterOnScreen();
  new app::TFillColumn(*ngListItems, colFileName);
  app::InstallCallQueueDrain();
  CreateRunControl();
  CreateJobActivity();
}

TfmMain::~TfmMain() {
  // FormDestroy. In the program the process ends before this runs; windows made
  // by tests free their jobs and stop logging into their folder here.
  // The journal keeps the table as it stood: no change from here on reaches it.
  jobJournal_.reset();
  journal_.reset();
  // Downloads go first: the runner stops them silently, before any job is freed.
  clDownLoader.runner_ = nullptr;
  runner_.reset();
  if (logWriter_ && MainLogWriter() == logWriter_.get()) SetMainLogWriter(nullptr);
  if (jobList_) {
    for (int i = 0; i < jobList_->Count(); ++i) delete (*jobList_)[i];
    if (JobList == jobList_.get()) JobList = nullptr;
  }
}

void TfmMain::BuildControls() {
  auto* central = new QWidget(this);
  central->setObjectName("pnlClient");
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // Job area: the table and its button row take what the other areas leave.
  QWidget* jobArea = MakePanel(central, "pnlJobs", 0);
  auto* jobLayout = new QVBoxLayout(jobArea);
  jobLayout->setContentsMargins(6, 6, 6, 4);
  jobLayout->setSpacing(4);
  ngListItems = new TJobGridWidget(jobArea);
  ngListItems->setObjectName("ngListItems");
  ngListItems->setAccessibleName("Jobs");
  ngListItems->setContextMenuPolicy(Qt::CustomContextMenu);
  jobLayout->addWidget(ngListItems, 1);
  auto* jobButtons = new QHBoxLayout();
  btnPaste = MakeButton(jobArea, "btnPaste", "Paste");
  btnAddFiles = MakeButton(jobArea, "btnAddFiles", "Add Files...");
  btnRemove = MakeButton(jobArea, "btnRemove", "Remove");
  jobButtons->addWidget(btnPaste);
  jobButtons->addWidget(btnAddFiles);
  jobButtons->addWidget(btnRemove);
  jobButtons->addStretch(1);
  jobLayout->addLayout(jobButtons);
  column->addWidget(jobArea, 1);

  // Output folder panel.
  QWidget* folderPanel = MakePanel(central, "pnlFolder", kFolderPanelHeight);
  auto* folderLayout = new QGridLayout(folderPanel);
  folderLayout->setContentsMargins(8, 6, 8, 6);
  folderLayout->setVerticalSpacing(4);
  edFolder = new QLineEdit(folderPanel);
  edFolder->setObjectName("edFolder");
  folderLayout->addWidget(
      app::LabelControl(MakeLabel(folderPanel, "lblOutputFolder", "Output folder:"), edFolder), 0,
      0, 1, 3);
  btnBrowse = MakeButton(folderPanel, "btnBrowse", "Browse...");
  btnOname = MakeButton(folderPanel, "btnOname", "Output name...");
  folderLayout->addWidget(edFolder, 1, 0);
  folderLayout->addWidget(btnBrowse, 1, 1);
  folderLayout->addWidget(btnOname, 1, 2);
  folderLayout->setColumnStretch(0, 1);
  folderLayout->setAlignment(Qt::AlignVCenter);
  column->addWidget(folderPanel);

  // Conversion panel: the preset on the left, the codec values beside it.
  QWidget* convertPanel = MakePanel(central, "pnlConvert", kConvertPanelHeight);
  auto* convertLayout = new QGridLayout(convertPanel);
  convertLayout->setContentsMargins(8, 4, 8, 4);
  convertLayout->setHorizontalSpacing(6);
  convertLayout->setVerticalSpacing(2);
  cbPresets = MakeList(convertPanel, "cbPresets", {});
  cbAbitRate =
      MakeList(convertPanel, "cbAbitRate",
               {"320", "256", "224", "192", "160", "144", "128", "112", "96", "64", "48", "32"});
  cbFrequency = MakeList(convertPanel, "cbFrequency",
                         {"8000", "12000", "16000", "24000", "32000", "44100", "48000"});
  cbChanels = MakeList(convertPanel, "cbChanels", {"1", "2", "6"});
  cbVBitrate =
      MakeList(convertPanel, "cbVBitrate",
               {"3072", "2048", "1024", "768", "512", "256", "192", "128", "64", "32", "16"});
  cbVideoSize = MakeList(
      convertPanel, "cbVideoSize",
      {"128x96", "176x144", "208x160", "320x240", "352x288", "352x240", "640x480", "704x576",
       "720x480", "720x576", "800x600", "852x480", "1024x768", "1280x720", "1920x1080"});
  // The video values matter only once a preset with a video codec is picked.
  cbVBitrate->setEnabled(false);
  cbVideoSize->setEnabled(false);
  btnApply = MakeButton(convertPanel, "btnApply", "Apply");
  btnApply->setVisible(false);

  // Labels above their lists; "Codec:" leads the row of the five value lists.
  QLabel* presetsLabel =
      app::LabelControl(MakeLabel(convertPanel, "lblPresets", "Presets:"), cbPresets);
  presetsLabel->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
  convertLayout->addWidget(presetsLabel, 0, 0);
  convertLayout->addWidget(cbPresets, 1, 0);
  convertLayout->addWidget(MakeLabel(convertPanel, "lblCodec", "Codec:"), 1, 1);
  const std::pair<const char*, const char*> valueLabels[] = {
      {"lblAbitRate", "Audio bitrate, kbps:"},
      {"lblFrequency", "Frequency, kHz:"},
      {"lblChanels", "Chanels:"},
      {"lblVBitrate", "Video bitrate, kbps:"},
      {"lblVideoSize", "Video size:"}};
  QComboBox* valueLists[] = {cbAbitRate, cbFrequency, cbChanels, cbVBitrate, cbVideoSize};
  // The least window is narrow for six lists: the value lists keep room for
  // "Same As Input", long labels wrap, and the preset list takes what is left.
  for (int i = 0; i < 5; ++i) {
    QLabel* label = app::LabelControl(
        MakeLabel(convertPanel, valueLabels[i].first, valueLabels[i].second), valueLists[i]);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    label->setMinimumHeight(2 * label->fontMetrics().lineSpacing());
    convertLayout->addWidget(label, 0, i + 2);
    valueLists[i]->setMinimumWidth(valueLists[i]->sizeHint().width());
    convertLayout->addWidget(valueLists[i], 1, i + 2);
  }
  convertLayout->addWidget(btnApply, 2, 6);
  convertLayout->setColumnStretch(0, 1);
  convertLayout->setAlignment(Qt::AlignVCenter);
  column->addWidget(convertPanel);

  // Command row.
  QWidget* commandRow = MakePanel(central, "pnlCommands", kCommandRowHeight);
  auto* commandLayout = new QHBoxLayout(commandRow);
  commandLayout->setContentsMargins(8, 4, 8, 6);
  btnOptions = MakeButton(commandRow, "btnOptions", "Options...");
  btnDownload = MakeButton(commandRow, "btnDownload", "Start");
  btnStopSel = MakeButton(commandRow, "btnStopSel", "Stop Selected");
  btnStop = MakeButton(commandRow, "btnStop", "Stop All");
  btnStopSel->setProperty("tag", 1);
  btnStop->setProperty("tag", 0);
  commandLayout->addWidget(btnOptions);
  commandLayout->addStretch(1);
  commandLayout->addWidget(btnDownload);
  commandLayout->addWidget(btnStopSel);
  commandLayout->addWidget(btnStop);
  column->addWidget(commandRow);

  setCentralWidget(central);

  QStatusBar* status = statusBar();
  status->setObjectName("StatusBar1");
  status->setFixedHeight(kStatusBarHeight);
  status->setSizeGripEnabled(true);
  for (int i = 0; i < 2; ++i) {
    StatusPanels[i] = new QLabel(status);
    StatusPanels[i]->setObjectName(QString("StatusPanel%1").arg(i));
    StatusPanels[i]->setFixedWidth(kStatusPanelWidth);
    StatusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    status->addWidget(StatusPanels[i]);
  }

  connect(btnPaste, &QPushButton::clicked, this, &TfmMain::btnPasteClick);
  connect(btnAddFiles, &QPushButton::clicked, this, &TfmMain::btnAddFilesClick);
  connect(btnRemove, &QPushButton::clicked, this, &TfmMain::btnRemoveClick);
  connect(btnBrowse, &QPushButton::clicked, this, &TfmMain::btnBrowseClick);
  connect(btnOname, &QPushButton::clicked, this, &TfmMain::btnOnameClick);
  connect(btnOptions, &QPushButton::clicked, this, &TfmMain::btnOptionsClick);
  connect(btnDownload, &QPushButton::clicked, this, &TfmMain::btnDownloadClick);
  connect(btnStopSel, &QPushButton::clicked, this, &TfmMain::btnStopSelClick);
  connect(btnStop, &QPushButton::clicked, this, &TfmMain::btnStopSelClick);
  connect(btnApply, &QPushButton::clicked, this, &TfmMain::btnApplyClick);
  // Only a pick by the user applies the panel; showing a job's values does not.
  connect(cbPresets, &QComboBox::activated, this, &TfmMain::cbPresetsChange);
  for (QComboBox* list : {cbAbitRate, cbFrequency, cbChanels, cbVBitrate, cbVideoSize})
    connect(list, &QComboBox::activated, this, &TfmMain::cbAbitRateChange);
  connect(ngListItems, &TJobGridWidget::BeforeSelect, this, &TfmMain::ngListItemsBeforeSelect);
  connect(ngListItems, &TJobGridWidget::CellClick, this, &TfmMain::ngListItemsCellClick);

  BuildJobMenu();
  BuildShortcuts();
}

void TfmMain::BuildTray() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  Hide1 = PopupMenu1->addAction("Hide");
  Hide1->setObjectName("Hide1");
  Hide1->setData(0);
  Close1 = PopupMenu1->addAction("Close");
  Close1->setObjectName("Close1");
  connect(Hide1, &QAction::triggered, this, &TfmMain::Hide1Click);
  connect(Close1, &QAction::triggered, this, &TfmMain::Close1Click);

  RzTrayIcon1 = new QSystemTrayIcon(windowIcon(), this);
  RzTrayIcon1->setObjectName("RzTrayIcon1");
  RzTrayIcon1->setToolTip(kTitle);
  RzTrayIcon1->setContextMenu(PopupMenu1);
  connect(RzTrayIcon1, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) RestoreApp();
          });
  // A bare X server has no notification area: the window then minimises as usual.
  if (TrayAvailable()) RzTrayIcon1->show();
}

bool TfmMain::TrayAvailable() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TfmMain::CenterOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect area = screen->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

IJobGrid& TfmMain::Grid() {
  return *ngListItems;
}

QString TfmMain::StatusPanelText(int panel) const {
  return StatusPanels[panel]->text();
}

// ---- start-up and shut-down ----

void TfmMain::FormCreate() {
  ClaimFolder();
  SetupLogWriter();
  RegisterDropAndClipboard();
  CreateJobList();
  LoadSettings();
  OpenJournal();
  // No application display name: Qt would append it to every dialog's caption.
  setWindowTitle(kTitle);
  SetRunning(false);
}

void TfmMain::ClaimFolder() {
  // Before anything is written there: a second window on the same folder must
  // not touch the first one's log, settings or journal.
  journal_ = std::make_unique<TJournal>(platform::JournalPath());
  ownsFolder_ = journal_->LockFolder();
}

void TfmMain::SetupLogWriter() {
  logWriter_ = std::make_unique<TLogWriter>();
  logWriter_->SetFolder(platform::UserFilesFolder());
  logWriter_->SetEnabled(true);
  // A window without the folder logs into a file of its own.
  logWriter_->SetLogFile(ownsFolder_ ? logWriter_->Folder() + "Log.txt"
                                     : platform::PrivateLogPath());
  SetMainLogWriter(logWriter_.get());
}

void TfmMain::CreateJobList() {
  jobList_ = std::make_unique<TJobList>();
  JobList = jobList_.get();
}

void TfmMain::LoadSettings() {
  const settings::TLoadedSettings loaded = settings::LoadSettingsFile();
  if (loaded.FolderReady) edFolder->setText(QString::fromStdString(OutputFolder));
  app::ApplyWindowPlace(*this, *ngListItems, WindowPlace);
  try {
    FillPresetList(loaded.CodecIndex);
  } catch (const std::exception& e) {
    LogError(e);
  }
  // Page fetches read the proxy options at every request, so an OK in the
  // options dialog applies to the next fetch.
  resolve::SetFetchProxySource([] { return net::ProxyOf(cvOptions); });
  PublishExtractorChoice();
}

void TfmMain::SaveSettings() {
  OutputFolder = edFolder->text().toStdString();
  WindowPlace = app::CaptureWindowPlace(*this, *ngListItems);
  settings::SaveSettingsFile(cbPresets->currentIndex());
}

void TfmMain::OpenJournal() {
  try {
    if (!journal_) journal_ = std::make_unique<TJournal>(platform::JournalPath());
    std::vector<TJobSnapshot> stored;
    if (!ownsFolder_) {
      const std::string message = journal_->LastError() +
                                  "; this window keeps no jobs and saves no settings, its log is " +
                                  logWriter_->LogFileName();
      LogText("Error: " + message);
      StatusPanels[1]->setText(QString::fromStdString(message));
    } else if (!journal_->Open(stored)) {
      // This window works on, but its jobs are not kept (docs/journal.md).
      const std::string message = journal_->LastError() + "; the jobs of this window are not kept";
      LogText("Error: " + message);
      StatusPanels[1]->setText(QString::fromStdString(message));
    }
    jobJournal_ = std::make_unique<TJobJournal>(
        *journal_, [this] { return jobList_.get(); },
        [this](std::function<void()> call) { QTimer::singleShot(0, this, std::move(call)); });
    jobJournal_->Restore(stored, *jobList_, Grid());
  } catch (const std::exception& e) {
    LogError(e);
  }
  ReadRestoredLinks();
  journalTimer_ = new QTimer(this);
  journalTimer_->setObjectName("JournalTimer");
  journalTimer_->setInterval(kJournalTickMs);
  connect(journalTimer_, &QTimer::timeout, this, [this] {
    if (jobJournal_) jobJournal_->SnapshotRunning();
    ShowJournalHealth();
  });
  journalTimer_->start();
}

void TfmMain::ShowJournalHealth() {
  if (!journal_ || !journal_->IsOpen()) return;
  const std::string error = journal_->WriteError();
  const QString shown = StatusPanels[1]->text();
  if (!error.empty()) {
    const QString message = QString::fromStdString(
        "The job journal is not being written (" + error + "); it is tried again");
    if (shown != message) StatusPanels[1]->setText(message);
    journalWarningShown_ = true;
  } else if (journalWarningShown_) {
    journalWarningShown_ = false;
    if (shown.startsWith("The job journal is not being written")) StatusPanels[1]->clear();
  }
}

void TfmMain::FlushJournal() {
  if (!jobJournal_ || !journal_) return;
  jobJournal_->SnapshotChanged();
  jobJournal_->SnapshotRunning();
  if (!journal_->Flush(kJournalFlushLimit))
    LogText("Error: The job journal's last changes were not written in time");
}

void TfmMain::FormShow() {}

void TfmMain::SaveState() {
  // No link is read any more: their connections close now, not at their limits.
  if (runner_) runner_->CancelLinkReads();
  try {
    // Only the folder's own window saves: a second one's settings are stale.
    if (ownsFolder_) SaveSettings();
  } catch (...) {
    // Nothing may keep the program from ending.
  }
  try {
    FlushJournal();
  } catch (...) {
  }
}

void TfmMain::FormClose() {
  SaveState();
  if (endProcess_) endProcess_();
}

void TfmMain::closeEvent(QCloseEvent* event) {
  if (!closing_) {
    closing_ = true;
    FormClose();
  }
  event->accept();
}

void TfmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfmMain::SetRunning(bool running) {
  btnStop->setEnabled(running);
  btnStopSel->setEnabled(running);
  btnDownload->setEnabled(!running);
}

// ---- tray ----

void TfmMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  auto* change = static_cast<QWindowStateChangeEvent*>(event);
  const bool wasMinimized = change->oldState() & Qt::WindowMinimized;
  if (isMinimized() && !wasMinimized) {
    // Hiding from inside the state change confuses some window managers.
    if (TrayAvailable()) QTimer::singleShot(0, this, [this] { hide(); });
    RzTrayIcon1MinimizeApp();
  } else if (!isMinimized() && wasMinimized) {
    RzTrayIcon1RestoreApp();
  }
}

void TfmMain::HideApp() {
  if (TrayAvailable())
    hide();
  else
    showMinimized();  // without a tray icon a hidden window could not come back
  RzTrayIcon1MinimizeApp();
}

void TfmMain::RestoreApp() {
  RaiseWindow();  // a maximised window comes back maximised
}

void TfmMain::RzTrayIcon1MinimizeApp() {
  Hide1->setText("Show");
  Hide1->setData(1);
}

void TfmMain::RzTrayIcon1RestoreApp() {
  Hide1->setText("Hide");
  Hide1->setData(0);
}

void TfmMain::Hide1Click() {
  if (Hide1->data().toInt() == 0)
    HideApp();
  else
    RestoreApp();
}

void TfmMain::Close1Click() {
  close();
}
