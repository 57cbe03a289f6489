// The conversion panel, the settings at start and close, the job menu and
// "Browse..." driven on the real window.
#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/FileNamesDialog.h"
#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/OptionsDialog.h"
#include "convert/Presets.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "resolve/InetEng.h"
#include "settings/Settings.h"
#include "tests/support/TestSupport.h"

namespace {

const int kMp3 = 0;  // audio preset of the shipped presets.ini
const int kMp4 = 5;  // video preset (VCodec libx264)

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetExeFolderOverride(dir.path());
    std::filesystem::copy_file(testsupport::BinDir() + "/presets.ini", dir / "presets.ini");
  }
  void TearDown() override {
    w.reset();
    platform::SetExeFolderOverride("");
  }

  void Start() {
    w = std::make_unique<TfmMain>();
    w->SetEndProcess([this] { ++ended; });
    w->FormCreate();
    w->CreateDialogs();
  }

  TEncItem* AddJob(const std::string& title, int mode, bool isLink = true) {
    IJobGrid& grid = w->Grid();
    auto* job = new TEncItem;
    int row = grid.AppendRow();
    AttachJobToRow(*job, grid, row);
    job->Title = title;
    job->IsLink = isLink;
    job->Mode = mode;
    grid.SetCellText(colMode, row, ModeCaption(mode));
    SetJobState(*job, jsNew);
    w->Jobs().Add(job);
    return job;
  }

  // A pick by the user: the list changes and reports the activation.
  static void Pick(QComboBox* list, const QString& text) {
    int index = list->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    list->setCurrentIndex(index);
    emit list->activated(index);
  }

  void SelectRows(std::initializer_list<int> rows) {
    w->ngListItems->clearSelection();
    for (int row : rows)
      w->ngListItems->selectionModel()->select(
          w->ngListItems->model()->index(row, 0),
          QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }

  std::string Cell(int col, int row) { return w->Grid().CellText(col, row); }

  testsupport::TempDir dir;
  std::unique_ptr<TfmMain> w;
  int ended = 0;
};

std::string ReadAll(const std::string& path) {
  std::string text;
  platform::ReadFile(path, text);
  return text;
}

}  // namespace

TEST_F(PanelTest, StartWithoutSettingsFileThenCloseWritesEveryKey) {
  Start();
  const std::string temp = dir / "Temp";
  EXPECT_TRUE(platform::DirectoryExists(temp));
  EXPECT_EQ(w->edFolder->text().toStdString(), temp);
  ASSERT_EQ(w->cbPresets->count(), 8);
  EXPECT_EQ(w->cbPresets->currentIndex(), 0);
  for (QComboBox* list :
       {w->cbAbitRate, w->cbFrequency, w->cbChanels, w->cbVBitrate, w->cbVideoSize})
    EXPECT_EQ(list->currentText(), "Same As Input");
  EXPECT_FALSE(w->cbVBitrate->isEnabled());
  EXPECT_FALSE(w->cbVideoSize->isEnabled());
  ASSERT_NE(w->fmFileNames, nullptr);
  ASSERT_NE(w->fmOptions, nullptr);

  // Page fetches follow the options as they are at the time of the fetch.
  cvOptions.IsProxy = true;
  cvOptions.ProxyAdress = "127.0.0.1";
  cvOptions.ProxyPort = 3128;
  EXPECT_EQ(resolve::ProxyText(resolve::CurrentFetchProxy()), "127.0.0.1:3128");
  cvOptions = TcvOptions{};

  // The folder typed into the box is what gets saved.
  w->edFolder->setText(QString::fromStdString(dir / "Out"));
  w->cbPresets->setCurrentIndex(2);
  w->close();
  EXPECT_EQ(ended, 1);
  const std::string saved = ReadAll(dir / "settings.ini");
  // The window's place comes last; its values depend on the screen.
  EXPECT_NE(saved.find("\r\n[Window]\r\nLeft="), std::string::npos);
  EXPECT_EQ(saved.substr(0, saved.find("[Window]")),
            "[General]\r\nFolder=" + dir / "Out" +
                "\r\n[OutName]\r\nPrefix=\r\nPostfix=\r\nSeparator=_\r\nIncludeName=0\r\n"
                "IncludeDate=0\r\nSIndex=0\r\n[Options]\r\nIsProxy=0\r\nProxyAdress=\r\n"
                "ProxyPort=0\r\nProxyUser=\r\nProxyPassword=\r\nAutoPaste=0\r\nDeleteVideo=0\r\n"
                "CodecIndex=2\r\n"
            "[YtDlp]\r\nProgram=\r\nCookiesFromBrowser=\r\nAutoPasteOtherSites=0\r\n");
}

TEST_F(PanelTest, SavedPresetIsSelectedWithoutApplyingIt) {
  platform::WriteFile(dir / "settings.ini", "[Options]\r\nCodecIndex=5\r\n");
  Start();
  EXPECT_EQ(w->cbPresets->currentIndex(), kMp4);
  EXPECT_FALSE(w->cbVBitrate->isEnabled());  // only a pick enables them
  w.reset();

  platform::WriteFile(dir / "settings.ini", "[Options]\r\nCodecIndex=8\r\n");
  Start();
  EXPECT_EQ(w->cbPresets->currentIndex(), -1);
}

TEST_F(PanelTest, WithoutPresetsFileANewJobGetsAnEmptyCodecCell) {
  std::filesystem::remove(dir / "presets.ini");
  Start();
  EXPECT_EQ(w->cbPresets->count(), 0);
  TEncItem* job = AddJob("clip", jmDownloadConvert);
  w->Grid().SetCellText(colCodec, 0, "stale");
  w->ApplyPanelToJob(job);
  EXPECT_EQ(job->Settings.PresetIndex, -1);
  EXPECT_EQ(job->Settings.OutExt, "");
  EXPECT_FALSE(job->Settings.VideoPreset);
  EXPECT_EQ(Cell(colCodec, 0), "");
}

TEST_F(PanelTest, ValueListsMatchTheEntriesUsedToShowAJob) {
  Start();
  auto entries = [](QComboBox* list) {
    std::vector<std::string> out;
    for (int i = 0; i < list->count(); ++i) out.push_back(list->itemText(i).toStdString());
    return out;
  };
  EXPECT_EQ(entries(w->cbAbitRate), AbitRateItems());
  EXPECT_EQ(entries(w->cbFrequency), FrequencyItems());
  EXPECT_EQ(entries(w->cbChanels), ChanelsItems());
  EXPECT_EQ(entries(w->cbVBitrate), VBitrateItems());
  EXPECT_EQ(entries(w->cbVideoSize), VideoSizeItems());
}

TEST_F(PanelTest, PickAppliesToEveryJobOrOnlyToTheSelectedOnes) {
  Start();
  TEncItem* a = AddJob("a", jmDownloadConvert);
  TEncItem* b = AddJob("b", jmDownloadOnly);
  TEncItem* c = AddJob("c", jmConvertOnly, false);

  Pick(w->cbAbitRate, "128");
  for (TEncItem* job : {a, b, c}) {
    EXPECT_EQ(job->Settings.ABitrate, 128);
    EXPECT_EQ(job->Settings.PresetName, "MP3");
    EXPECT_EQ(job->Settings.OutExt, "mp3");
  }
  EXPECT_EQ(Cell(colCodec, 0), "MP3");
  EXPECT_EQ(Cell(colCodec, 1), "");  // Download Only shows no codec
  EXPECT_EQ(Cell(colCodec, 2), "MP3");

  SelectRows({0, 2});
  Pick(w->cbPresets, "AAC (m4a)");
  Pick(w->cbChanels, "2");
  EXPECT_EQ(a->Settings.Channels, 2);
  EXPECT_EQ(c->Settings.Channels, 2);
  EXPECT_EQ(c->Settings.OutExt, "m4a");
  EXPECT_EQ(Cell(colCodec, 2), "AAC (m4a)");
  EXPECT_EQ(b->Settings.Channels, 0);
  EXPECT_EQ(b->Settings.OutExt, "mp3");
}

TEST_F(PanelTest, AudioPresetDisablesVideoListsButKeepsTheirValues) {
  Start();
  TEncItem* job = AddJob("a", jmDownloadConvert);
  Pick(w->cbPresets, w->cbPresets->itemText(kMp4));
  EXPECT_TRUE(w->cbVBitrate->isEnabled());
  EXPECT_TRUE(w->cbVideoSize->isEnabled());
  Pick(w->cbVideoSize, "640x480");
  Pick(w->cbVBitrate, "1024");
  EXPECT_TRUE(job->Settings.VideoPreset);
  EXPECT_EQ(job->Settings.VCodec, "libx264");

  Pick(w->cbPresets, w->cbPresets->itemText(kMp3));
  EXPECT_FALSE(w->cbVBitrate->isEnabled());
  EXPECT_FALSE(w->cbVideoSize->isEnabled());
  EXPECT_EQ(w->cbVideoSize->currentText(), "640x480");
  EXPECT_FALSE(job->Settings.VideoPreset);
  EXPECT_EQ(job->Settings.VCodec, "");
  EXPECT_EQ(job->Settings.VideoSize, "640x480");
  EXPECT_EQ(job->Settings.VBitrate, 1024);
}

TEST_F(PanelTest, SelectingARowShowsItsJobAndChangesNoJob) {
  Start();
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  TEncItem* a = AddJob("a", jmDownloadConvert);
  TEncItem* b = AddJob("b", jmDownloadConvert);
  Pick(w->cbAbitRate, "320");  // both jobs: MP3, 320
  a->Settings.ABitrate = 192;
  a->Settings.VideoSize = "640x480";
  a->Settings.PresetIndex = kMp4;
  a->Settings.Frequency = 12345;  // no such entry
  const std::string codecA = Cell(colCodec, 0);

  TJobGridWidget* table = w->ngListItems;
  QRect cell = table->visualRect(table->model()->index(0, colFileName));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(w->cbAbitRate->currentText(), "192");
  EXPECT_EQ(w->cbVideoSize->currentText(), "640x480");
  EXPECT_EQ(w->cbPresets->currentIndex(), kMp4);
  EXPECT_EQ(w->cbFrequency->currentIndex(), -1);
  EXPECT_EQ(w->cbChanels->currentText(), "Same As Input");
  EXPECT_FALSE(w->cbVideoSize->isEnabled());  // enabled state stays as it was
  EXPECT_EQ(a->Settings.PresetName, "MP3");   // nothing was applied
  EXPECT_EQ(a->Settings.Frequency, 12345);
  EXPECT_EQ(Cell(colCodec, 0), codecA);
  EXPECT_EQ(b->Settings.ABitrate, 320);

  // The next pick applies the whole panel, shown values included, to the selection.
  Pick(w->cbChanels, "1");
  EXPECT_EQ(a->Settings.Channels, 1);
  EXPECT_EQ(a->Settings.ABitrate, 192);
  EXPECT_EQ(a->Settings.VideoSize, "640x480");
  EXPECT_EQ(a->Settings.Frequency, 0);
  EXPECT_EQ(a->Settings.VCodec, "libx264");
  EXPECT_EQ(Cell(colCodec, 0), w->cbPresets->itemText(kMp4).toStdString());
  EXPECT_EQ(b->Settings.Channels, 0);
}

TEST_F(PanelTest, JobMenuOpensOnlyBetweenRunsWithARowSelected) {
  Start();
  EXPECT_FALSE(w->PreparePopupMenu2());  // no rows
  AddJob("a", jmDownloadConvert);
  EXPECT_FALSE(w->PreparePopupMenu2());  // no selection
  w->Grid().SelectRow(0);
  w->SetRunning(true);
  EXPECT_FALSE(w->PreparePopupMenu2());
  w->SetRunning(false);
  EXPECT_TRUE(w->PreparePopupMenu2());

  // The context-menu request shows the menu itself.
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  bool shown = false;
  QTimer::singleShot(0, w.get(), [&] {
    shown = QApplication::activePopupWidget() == w->PopupMenu2;
    w->PopupMenu2->close();
  });
  QTimer::singleShot(5000, w->PopupMenu2, &QMenu::close);  // guard only
  emit w->ngListItems->customContextMenuRequested(QPoint(5, 5));
  EXPECT_TRUE(shown);
}

TEST_F(PanelTest, ModeEntriesFollowTheJobAndChangeItsMode) {
  Start();
  TEncItem* link = AddJob("link", jmDownloadConvert);
  TEncItem* file = AddJob("file", jmSkip, false);
  file->MediaFile = dir / "song.wav";

  w->Grid().SelectRow(0);
  ASSERT_TRUE(w->PreparePopupMenu2());
  EXPECT_TRUE(w->Skip1->isEnabled());
  EXPECT_TRUE(w->DownloadOnly1->isEnabled());
  EXPECT_FALSE(w->ConvertOnly1->isEnabled());  // nothing downloaded yet
  EXPECT_FALSE(w->DownloadConvert1->isEnabled());
  w->DownloadOnly1->trigger();
  EXPECT_EQ(link->Mode, jmDownloadOnly);
  EXPECT_EQ(Cell(colMode, 0), "Download Only");
  EXPECT_EQ(link->Settings.PresetName, "MP3");
  EXPECT_EQ(Cell(colCodec, 0), "");

  w->Grid().SelectRow(1);
  ASSERT_TRUE(w->PreparePopupMenu2());
  EXPECT_FALSE(w->Skip1->isEnabled());
  EXPECT_FALSE(w->DownloadOnly1->isEnabled());
  EXPECT_FALSE(w->ConvertOnly1->isEnabled());  // the file is missing
  EXPECT_FALSE(w->DownloadConvert1->isEnabled());
  platform::WriteFile(file->MediaFile, "RIFF");
  ASSERT_TRUE(w->PreparePopupMenu2());
  EXPECT_TRUE(w->ConvertOnly1->isEnabled());

  // A local file never takes a download mode, even if the entry were reached.
  w->DownloadConvert1->setEnabled(true);
  w->DownloadConvert1->trigger();
  EXPECT_EQ(file->Mode, jmSkip);
  w->ConvertOnly1->trigger();
  EXPECT_EQ(file->Mode, jmConvertOnly);
  EXPECT_EQ(Cell(colMode, 1), "Convert Only");
  EXPECT_EQ(Cell(colCodec, 1), "MP3");
}

TEST_F(PanelTest, QualityEntriesAreRadioEntriesThatChooseTheStream) {
  Start();
  TEncItem* job = AddJob("clip", jmDownloadConvert);
  job->Qualities = {{"FLV 240p", {"http://v/1", ".flv"}},
                    {"MP4 360p", {"http://v/2", ".mp4"}},
                    {"MP4 720p", {"http://v/3", ".mp4"}}};
  job->SetQuality(1);
  job->StreamUrl = "http://v/2";
  TEncItem* bare = AddJob("bare", jmDownloadConvert);

  w->Grid().SelectRow(0);
  ASSERT_TRUE(w->PreparePopupMenu2());
  ASSERT_TRUE(w->PreparePopupMenu2());  // rebuilt, not added to
  EXPECT_TRUE(w->Quality1->isEnabled());
  QList<QAction*> entries = w->Quality1->actions();
  ASSERT_EQ(entries.size(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(entries[i]->isCheckable());
    EXPECT_EQ(entries[i]->data().toInt(), i);
    EXPECT_EQ(entries[i]->statusTip().toStdString(), job->Qualities[i].Link.Url);
    EXPECT_EQ(entries[i]->isChecked(), i == 1);
    ASSERT_NE(entries[i]->actionGroup(), nullptr);
    EXPECT_TRUE(entries[i]->actionGroup()->isExclusive());
  }
  EXPECT_EQ(entries[2]->text(), "MP4 720p");

  entries[2]->trigger();
  EXPECT_EQ(job->QualityIndex, 2);
  EXPECT_EQ(job->StreamUrl, "http://v/3");
  EXPECT_EQ(Cell(colQuality, 0), "MP4 720p");
  EXPECT_TRUE(entries[2]->isChecked());
  EXPECT_FALSE(entries[1]->isChecked());

  w->Grid().SelectRow(1);
  ASSERT_TRUE(w->PreparePopupMenu2());
  EXPECT_FALSE(w->Quality1->isEnabled());
  EXPECT_TRUE(w->Quality1->actions().isEmpty());
  EXPECT_EQ(bare->QualityIndex, -1);
}

TEST_F(PanelTest, BrowseOpensAtAnExistingFolderAndShowsThePick) {
  Start();
  QString openedAt;
  QString answer;
  int opened = 0;
  w->PickFolder = [&](QWidget*, const QString& start) {
    ++opened;
    openedAt = start;
    return answer;
  };
  const QString start = QString::fromStdString(dir / "Temp");
  w->edFolder->setText(start);
  answer = "/media/out";
  w->btnBrowse->click();
  EXPECT_EQ(openedAt, start);
  EXPECT_EQ(w->edFolder->text(), "/media/out");

  w->edFolder->setText(start);
  answer.clear();  // cancelled
  w->btnBrowse->click();
  EXPECT_EQ(w->edFolder->text(), start);
  EXPECT_EQ(OutputFolder, (dir / "Temp"));  // the setting waits for Start or close

  for (const char* text : {"", "/no/such/folder"}) {
    w->edFolder->setText(text);
    w->btnBrowse->click();
  }
  EXPECT_EQ(opened, 2);
}

TEST_F(PanelTest, DialogButtonsRunTheDialogsModally) {
  Start();
  bool namesShown = false, optionsShown = false;
  QTimer::singleShot(0, w.get(), [&] {
    namesShown = w->fmFileNames->isVisible();
    w->fmFileNames->reject();
  });
  w->btnOname->click();
  QTimer::singleShot(0, w.get(), [&] {
    optionsShown = w->fmOptions->isVisible();
    w->fmOptions->reject();
  });
  w->btnOptions->click();
  EXPECT_TRUE(namesShown);
  EXPECT_TRUE(optionsShown);
}
