#pragma once
#include <QMainWindow>
#include <QStringList>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "jobs/EncItem.h"
#include "resolve/Resolver.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMimeData;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class TclMultiDownLoader;
class TclResourceInfo;
class TclResourceStateItem;
class TJobGridWidget;
class TJobJournal;
class TJobRunner;
class TJournal;
class TLogWriter;
class TfmFileNames;
class TfmOptions;
namespace app {
class TJobActivity;
class TJobNotifier;
}  // namespace app
struct TCnvtSettings;

// The main window: job table, output folder, conversion panel, command buttons,
// status bar and tray icon. Owns the job list and the log writer for the run.
// GUI thread only. One class, its members defined by responsibility:
//   MainWindow.cpp         set-up, start-up and shut-down steps, closing, tray
//   MainWindowIntake.cpp   paste, clipboard pickup, drop, Add Files, Remove
//   MainWindowReading.cpp  rows whose link is being read, their answers and boxes
//   MainWindowRun.cpp      Start, Stop, download events, the running timer
//   MainWindowMenu.cpp     job menu, Open / Show in folder, table clicks
//   MainWindowPanel.cpp    the conversion panel
//   MainWindowDialogs.cpp  output name, options and folder picker
//
// Construction builds the controls; FormCreate (called once by the process
// entry, or by a test) runs the start-up steps. Closing the window ends the
// process unless a test replaced that with SetEndProcess.
class TfmMain : public QMainWindow {
  Q_OBJECT
 public:
  explicit TfmMain(QWidget* parent = nullptr);
  ~TfmMain() override;  // FormDestroy

  void FormCreate();

  // How closing ends the process; tests substitute a recorder.
  void SetEndProcess(std::function<void()> endProcess) { endProcess_ = std::move(endProcess); }
  // What closing keeps, without closing: the settings (when this window owns
  // the folder) and the journal's last changes. The session's end asks for it.
  void SaveState();
  // False when another window had the folder first: this one then writes
  // neither its Log.txt, settings.ini nor jobs.db.
  bool OwnsFolder() const { return ownsFolder_; }

  // The job list of this window (also the process-wide JobList once FormCreate ran).
  TJobList& Jobs() { return *jobList_; }
  // The job table as the job code sees it.
  IJobGrid& Grid();

  // Running state: Start enabled exactly when idle, the Stop buttons when running.
  void SetRunning(bool running);

  QString StatusPanelText(int panel) const;
  bool TrayAvailable() const;

  // Components, named as the rest of the program refers to them.
  TJobGridWidget* ngListItems = nullptr;
  QPushButton* btnPaste = nullptr;
  QPushButton* btnAddFiles = nullptr;
  QPushButton* btnRemove = nullptr;
  QLineEdit* edFolder = nullptr;
  QPushButton* btnBrowse = nullptr;
  QPushButton* btnOname = nullptr;
  QComboBox* cbPresets = nullptr;
  QComboBox* cbAbitRate = nullptr;
  QComboBox* cbFrequency = nullptr;
  QComboBox* cbChanels = nullptr;
  QComboBox* cbVBitrate = nullptr;
  QComboBox* cbVideoSize = nullptr;
  QPushButton* btnApply = nullptr;
  QPushButton* btnOptions = nullptr;
  QPushButton* btnDownload = nullptr;
  QPushButton* btnStopSel = nullptr;  // tag 1: the selected rows
  QPushButton* btnStop = nullptr;     // tag 0: every row
  QLabel* StatusPanels[2] = {nullptr, nullptr};
  QSystemTrayIcon* RzTrayIcon1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Hide1 = nullptr;  // data(): tag 0 "Hide", tag 1 "Show"
  QAction* Close1 = nullptr;

  // The job table's context menu (job menu).
  QMenu* PopupMenu2 = nullptr;
  QMenu* Mode1 = nullptr;
  QAction* Skip1 = nullptr;             // tag 1
  QAction* DownloadOnly1 = nullptr;     // tag 2
  QAction* ConvertOnly1 = nullptr;      // tag 3
  QAction* DownloadConvert1 = nullptr;  // tag 4
  QMenu* Quality1 = nullptr;
  // A stopped download: its last downloading mode back, then Start.
  QAction* ContinueDownload1 = nullptr;
  // A job whose link names a playlist beside its video: the playlist's videos
  // are added as jobs of their own.
  QAction* AddPlaylist1 = nullptr;
  // Enabled when the file a job's run made exists.
  QAction* Open1 = nullptr;
  QAction* ShowInFolder1 = nullptr;

  // ---- Intake (MainWindowIntake.cpp) ----
  void AddJob(const std::string& text, bool isLink);
  void WMDrawClipboard();
  // Frees the job at index with its JobList entry and row (errors are logged).
  void RemoveJobAt(int index);
  // Links being read, or waiting to be, or whose failure box is still to come.
  int ReadingLinks() const;
  // True when no link is being read and no intake step waits (tests wait for it).
  bool IntakeIdle() const;

  // What intake needs from run control: whether a download runs, and how to
  // stop a job's download item. GUI thread only.
  std::function<bool()> downloaderBusy_;
  std::function<void(TclDownLoadItem*)> stopDownload_;

  // The "Add Files..." picker: returns the chosen paths in the picker's order,
  // none when cancelled. selectedFilter holds the initial entry on the way in.
  using TOpenFilesPicker =
      std::function<QStringList(QWidget* parent, const QString& filter, QString* selectedFilter)>;
  void SetOpenFilesPicker(TOpenFilesPicker picker) { openFilesPicker_ = std::move(picker); }

  // ---- From the desktop (MainWindowDesktop.cpp) ----
  // Work from a start's arguments or another start over the bus: http(s) links
  // as pasted, existing media files (paths or file:// URIs) as Add Files adds
  // them, anything else told once in the log and one box. start: Start is
  // pressed once the intake has ended.
  void TakeWork(const QStringList& work, bool start);
  // True while links are being added or read.
  bool IntakeBusy() const;
  // Brings the window back from the tray or the taskbar and to the front.
  void RaiseWindow();
  // The keys of the window and the tab order (called by the constructor).
  void BuildShortcuts();
  void SelectAllRows();
  QAction* actPaste = nullptr;      // Ctrl+V
  QAction* actAddFiles = nullptr;   // Ctrl+O
  QAction* actRemove = nullptr;     // Delete
  QAction* actSelectAll = nullptr;  // Ctrl+A
  QAction* actOpenRow = nullptr;    // Enter in the table
  QAction* actQuit = nullptr;       // Ctrl+Q

  // ---- Run control (MainWindowRun.cpp) ----
  // The run itself is the job runner's (jobs/JobRunner.h); these forward to it.
  // Its download manager, reached like an owning pointer: created with the
  // window, on the GUI thread, so its events arrive there. Tests shorten its timing.
  struct TDownLoaderAccess {
    TclMultiDownLoader* get() const;
    TclMultiDownLoader* operator->() const { return get(); }
    TclMultiDownLoader& operator*() const { return *get(); }
    TJobRunner* runner_ = nullptr;
  };
  TDownLoaderAccess clDownLoader;
  // On only while a run is going on; each tick asks whether anything still runs.
  QTimer* Timer1 = nullptr;
  // Speed and time left, the status totals and the notices of ended jobs.
  app::TJobActivity* Activity = nullptr;
  app::TJobNotifier* Notifier = nullptr;

  // Start with the folder field's folder.
  void StartRun();
  // Stops one job's download or conversion; other states are left alone.
  void StopJob(TEncItem* job);
  void Timer1Timer();
  void clDownLoaderDataItemProceed(TclMultiDownLoader* Sender, TclDownLoadItem* Item,
                                   TclResourceInfo* ResourceInfo, TclResourceStateItem* AStateItem,
                                   const char* CurrentData, int CurrentDataSize);
  void clDownLoaderProcessCompleted(TclMultiDownLoader* Sender, TclDownLoadItem* Item);

  // ---- Job menu and table clicks (MainWindowMenu.cpp) ----
  // The opening rules of the job menu: fills its entries and tells whether it
  // would open. The context-menu slot runs it before showing the menu.
  bool PreparePopupMenu2();
  // The row the job menu acts on: the current row when selected, else the first
  // selected row; -1 without a selection.
  int MenuRow() const;
  // The converted file, or the download of a Download Only job; empty if none.
  std::string JobResultFile(const TEncItem& job) const;
  void OpenResultClick();
  void ShowInFolderClick();
  void ContinueDownloadClick();
  void AddWholePlaylistClick();
  // Sets a row's mode as the mode entries do (the panel's settings applied).
  void SetRowMode(int row, int mode);
  // A finished row opens its file, at any time.
  void ngListItemsDblClick(int row);

  // ---- Conversion panel (MainWindowPanel.cpp) ----
  void FillPresetList(int index);
  void ReadPanelSettings(TCnvtSettings& settings);
  void ApplyPanelToJob(TEncItem* job);
  void ShowJobSettings(TEncItem* job);

  // ---- Dialogs (MainWindowDialogs.cpp) ----
  // The two dialogs, created once by CreateDialogs after FormCreate.
  TfmFileNames* fmFileNames = nullptr;
  TfmOptions* fmOptions = nullptr;
  void CreateDialogs();
  // The folder picker behind "Browse...": (parent, start folder) -> chosen folder,
  // empty when cancelled. Tests replace the modal dialog.
  std::function<QString(QWidget*, const QString&)> PickFolder;

 public slots:
  // Intake.
  void btnPasteClick();
  void btnAddFilesClick();
  void btnRemoveClick();
  // Run control.
  void btnDownloadClick();
  void btnStopSelClick();  // both Stop buttons; the sender's tag decides
  // Job menu and table clicks.
  void PopupMenu2Popup(const QPoint& pos);
  void Skip1Click();  // every mode entry; the entry's data is the mode
  void QualityItemClick();
  void ngListItemsCellClick(int col, int row);
  // Conversion panel.
  void btnApplyClick();
  void cbPresetsChange();
  void cbAbitRateChange();  // all five value lists
  void ngListItemsBeforeSelect(int row);
  // Dialogs.
  void btnBrowseClick();
  void btnOnameClick();
  void btnOptionsClick();
  // Tray.
  void Hide1Click();
  void Close1Click();
  void RzTrayIcon1MinimizeApp();
  void RzTrayIcon1RestoreApp();

 protected:
  // Start-up and shut-down steps, virtual so tests can watch the order.
  virtual void SetupLogWriter();
  virtual void RegisterDropAndClipboard();  // MainWindowIntake.cpp
  virtual void CreateJobList();
  virtual void LoadSettings();
  virtual void SaveSettings();

  void FormShow();
  void FormClose();

  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

  // Intake: text dropped on the window.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // ---- Set-up and tray ----
  void BuildControls();
  void BuildTray();
  void HideApp();
  void RestoreApp();
  void CenterOnScreen();

  std::unique_ptr<TLogWriter> logWriter_;
  std::unique_ptr<TJobList> jobList_;

  // ---- Job journal ----
  // Opens jobs.db, rebuilds the table from it and keeps it up to date: every
  // change through the jobs' change listener, running jobs once a second.
  void OpenJournal();
  // Takes the folder's lock (first step of FormCreate); ownsFolder_ says
  // whether this window may write the folder's Log.txt, settings.ini and jobs.db.
  void ClaimFolder();
  // The status bar says so while the journal's commits fail.
  void ShowJournalHealth();
  bool ownsFolder_ = false;
  bool journalWarningShown_ = false;
  // Hands the last changes over and waits a bounded time for their commit.
  void FlushJournal();
  std::unique_ptr<TJournal> journal_;
  std::unique_ptr<TJobJournal> jobJournal_;
  QTimer* journalTimer_ = nullptr;
  std::function<void()> endProcess_;
  bool closing_ = false;

  // ---- Intake ----
  void AddPendingJob();
  // Paste and drop: a list of links (every non-empty line one) makes one job per
  // line, in order; any other text is one link text.
  void AddLinkText(const std::string& text);
  // Dropped URIs (a file manager's files, a browser's links); false when the
  // drop is better read as text.
  bool AddDroppedUrls(const QMimeData& data);
  TOpenFilesPicker openFilesPicker_;
  // AddJob may be reached again from the nested loop of its message box; such
  // calls wait here and run after the current one, so rows and JobList agree.
  bool addingJob_ = false;
  struct TPendingJob {
    std::string text;
    bool isLink = false;
    int batch = 0;  // the pasted list it belongs to (see NewLinkBatch); 0: none
  };
  std::vector<TPendingJob> pendingJobs_;
  void AddJobNow(const std::string& text, bool isLink, int batch);

  // ---- Link reading (MainWindowReading.cpp) ----
  // Links added together (one paste, one drop, one restart) form a batch: its
  // failures make one box once every link of it has an answer.
  int NewLinkBatch(int size);
  // The row of a reading job: the link as file name, "Reading link...".
  void ShowReadingRow(TEncItem& job, int row);
  // The row of a ready job, filled as a new job is (the panel applied).
  void ShowNewJob(TEncItem& job, int row);
  // Hands a job in the list to the runner's link reading (wholePlaylist: the
  // link's playlist rather than its one video).
  void ReadJobLink(TEncItem& job, int batch, bool wholePlaylist = false);
  // shown: the reader's reason worth telling beside "Error Link!"; advice: a
  // box of its own (what to install), told once per batch.
  void LinkRead(TEncItem& job, bool ok, int batch, const std::string& shown = {},
                const std::string& advice = {});
  // A link of the batch ended without an answer (its row removed, its reading
  // not started); a batch that has every answer shows its box. A negative
  // batch: the batch the reading job ref belongs to.
  void LinkGone(uint64_t ref, int batch);
  void SettleLinkBatches();
  void ShowReadFailures();
  // Every restored job that was being read is read again.
  void ReadRestoredLinks();
  void ShowReadingCount();
  // Before Remove frees them: readings of the selected rows end.
  void CancelSelectedReadings();
  struct TLinkBatch {
    int total = 0;
    int unanswered = 0;  // links added that have no answer yet
    bool videos = false;  // a playlist's entries: counted as videos
    int missing = 0;      // entries that failed without a row (not in the listing)
    int depth = 0;        // playlists within playlists: how deep these entries are
    std::vector<uint64_t> failed;
    std::string shown;   // the last failure's reason worth telling
    std::string advice;  // told instead of (alone) or after (a list) the count
  };
  std::map<int, TLinkBatch> linkBatches_;
  std::map<uint64_t, int> readingBatch_;  // reading job -> its batch
  int lastBatch_ = 0;
  struct TReadFailure {
    std::string text;
    std::vector<uint64_t> rows;  // removed once the box is answered
  };
  std::deque<TReadFailure> readFailures_;
  bool showingReadFailure_ = false;

  // ---- Playlists (MainWindowPlaylist.cpp) ----
  // A link read as a playlist: its row becomes the first entry's, the other
  // entries get rows of their own at once, each read on its own (one batch,
  // counted as videos). More than kAskAbovePlaylist entries are asked about first.
  static constexpr int kAskAbovePlaylist = 50;
  static constexpr int kMaxPlaylistDepth = 2;  // a channel's playlists' videos
  // The reader a reading row keeps (journalled) when it reads a link's whole
  // playlist, so a restart reads it so again; its answer never becomes a job.
  static constexpr const char* kWholePlaylistReader = "yt-dlp playlist";
  struct TPlaylistOffer {
    uint64_t ref = 0;  // the playlist's own row
    int batch = 0;     // the batch its link belongs to
    std::vector<resolve::TResolvedEntry> entries;
    int missing = 0;
  };
  void PlaylistRead(TEncItem& job, int batch, const resolve::TResolvedJob& answer);
  void AskPlaylistOffers();
  void AddPlaylistEntries(const TPlaylistOffer& offer, size_t count);
  // A new row reading link, shown with title; the job is in the list.
  TEncItem& AppendReadingJob(const std::string& link, const std::string& title, int duration);
  std::deque<TPlaylistOffer> playlistOffers_;
  bool askingPlaylist_ = false;

  // ---- Run control ----
  // Creates the runner and Timer1, binds the manager's events to the handlers
  // above and the intake's hooks to the runner.
  void CreateRunControl();
  void CreateJobActivity();
  std::unique_ptr<TJobRunner> runner_;

  // ---- Job menu ----
  // Builds the job menu's entries (called at the end of BuildControls).
  void BuildJobMenu();
  void PrepareOpenEntries(const TEncItem* job);
};
