#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QTest>
#include <QTimer>
#include <ctime>

#include "app/FileNamesDialog.h"
#include "app/MessageBox.h"
#include "app/OptionsDialog.h"
#include "settings/Settings.h"

namespace {

// Message boxes are answered here and remembered.
class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    OutName = TOutName();
    OutName.Separator = '_';
    cvOptions = TcvOptions();
    SetMessageBoxHook([this](const QString& text, const QString&) {
      boxes.push_back(text);
      return static_cast<int>(QMessageBox::Ok);
    });
  }
  void TearDown() override { SetMessageBoxHook({}); }

  // Runs the modal dialog and does `act` inside its event loop.
  template <typename Dialog, typename Act>
  int RunModal(Dialog& dlg, Act act) {
    QTimer::singleShot(0, &dlg, [&] { act(); });
    return dlg.Execute();
  }

  std::vector<QString> boxes;
};

// A real mouse click on the tick box (the widget is wider than its text).
void ClickBox(QCheckBox* box) {
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

std::string Today() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%d%m", &t);
  return buf;
}

}  // namespace

TEST_F(Dialogs, OptionsStartCleanProxyBoxDrivesFieldsAndOkStores) {
  TfmOptions dlg;
  dlg.show();
  EXPECT_FALSE(dlg.CheckBox1->isChecked());
  EXPECT_EQ(dlg.Edit2->text(), "0");
  EXPECT_FALSE(dlg.Edit1->isEnabled() || dlg.Label1->isEnabled() || dlg.Edit4->isEnabled() ||
               dlg.Label4->isEnabled());
  EXPECT_FALSE(dlg.CheckBox2->isChecked() || dlg.CheckBox3->isChecked());

  dlg.Edit1->setText("host");
  ClickBox(dlg.CheckBox1);
  EXPECT_TRUE(dlg.Edit1->isEnabled() && dlg.Label1->isEnabled() && dlg.Edit2->isEnabled() &&
              dlg.Edit3->isEnabled() && dlg.Edit4->isEnabled() && dlg.Label4->isEnabled());
  ClickBox(dlg.CheckBox1);
  EXPECT_FALSE(dlg.Edit3->isEnabled() || dlg.Label3->isEnabled());
  EXPECT_EQ(dlg.Edit1->text(), "host");  // texts stay

  ClickBox(dlg.CheckBox1);
  QTest::keyClicks(dlg.Edit4, "s3cr et");
  EXPECT_EQ(dlg.Edit4->text(), "s3cr et");
  EXPECT_EQ(dlg.Edit4->displayText(), "*******");

  // OK takes the proxy fields even while they are disabled.
  ClickBox(dlg.CheckBox1);
  dlg.Edit2->setText("8080");
  ClickBox(dlg.CheckBox2);
  QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_FALSE(cvOptions.IsProxy);
  EXPECT_EQ(cvOptions.ProxyAdress, "host");
  EXPECT_EQ(cvOptions.ProxyPort, 8080);
  EXPECT_EQ(cvOptions.ProxyPassword, "s3cr et");
  EXPECT_TRUE(cvOptions.AutoPaste);
  EXPECT_FALSE(cvOptions.DeleteVideo);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Dialogs, OptionsBadPortKeepsDialogOpenWithFirstStepsApplied) {
  cvOptions.ProxyUser = "old";
  TfmOptions dlg;
  dlg.show();
  ClickBox(dlg.CheckBox1);
  dlg.Edit1->setText("new.host");
  dlg.Edit2->setText("80a");
  dlg.Edit3->setText("new");
  dlg.CheckBox3->setChecked(true);
  QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "'80a' is not a valid integer value");
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(cvOptions.IsProxy);
  EXPECT_EQ(cvOptions.ProxyAdress, "new.host");
  EXPECT_EQ(cvOptions.ProxyUser, "old");
  EXPECT_FALSE(cvOptions.DeleteVideo);
  EXPECT_EQ(dlg.Edit3->text(), "new");  // the user's entries stay

  dlg.Edit2->clear();
  QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1], "'' is not a valid integer value");

  dlg.Edit2->setText("3128");
  QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(cvOptions.ProxyPort, 3128);
  EXPECT_EQ(cvOptions.ProxyUser, "new");
  EXPECT_TRUE(cvOptions.DeleteVideo);
}

TEST_F(Dialogs, OptionsCloseBoxDiscardsAndReopenShowsStoredValues) {
  cvOptions.IsProxy = true;
  cvOptions.ProxyPort = 81;
  cvOptions.ProxyPassword = "pw";
  const TcvOptions before = cvOptions;
  TfmOptions dlg;
  int result = RunModal(dlg, [&] {
    EXPECT_TRUE(dlg.Edit1->isEnabled());
    EXPECT_EQ(dlg.Edit4->text(), "pw");
    dlg.Edit2->setText("9999");
    ClickBox(dlg.CheckBox1);
    dlg.close();
  });
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_EQ(cvOptions.ProxyPort, before.ProxyPort);
  EXPECT_TRUE(cvOptions.IsProxy);
  RunModal(dlg, [&] {
    EXPECT_EQ(dlg.Edit2->text(), "81");
    EXPECT_TRUE(dlg.CheckBox1->isChecked());
    EXPECT_TRUE(dlg.Edit2->isEnabled());
    dlg.close();
  });
}

TEST_F(Dialogs, FileNamesPreviewFollowsEveryControl) {
  TfmFileNames dlg;
  RunModal(dlg, [&] {
    EXPECT_EQ(dlg.ComboBox1->currentIndex(), 0);
    EXPECT_EQ(dlg.Label4->text(), "YouTubeName.mp3");
    EXPECT_TRUE(dlg.Label4->font().bold());
    QTest::keyClicks(dlg.Edit1, "my");
    EXPECT_EQ(dlg.Label4->text(), "my.mp3");
    ClickBox(dlg.CheckBox3);
    EXPECT_EQ(dlg.Label4->text(), "my_YouTubeName.mp3");
    dlg.ComboBox1->setCurrentIndex(3);
    ClickBox(dlg.CheckBox4);
    dlg.Edit2->setText("x");
    EXPECT_EQ(dlg.Label4->text().toStdString(), "my-YouTubeName-" + Today() + "-x.mp3");
    EXPECT_EQ(EditOutName.SIndex, 3);

    dlg.ComboBox1->setEditText("+");  // typed: no entry
    EXPECT_EQ(EditOutName.SIndex, -1);
    EXPECT_EQ(EditOutName.Separator, '+');
    dlg.ComboBox1->setEditText("");  // empty box: the default separator
    EXPECT_EQ(EditOutName.Separator, '_');
    EXPECT_EQ(dlg.Label4->text().toStdString(), "my_YouTubeName_" + Today() + "_x.mp3");
    dlg.ComboBox1->setEditText(" (space)");  // typed exactly like an entry
    EXPECT_EQ(EditOutName.SIndex, 4);
    EXPECT_EQ(EditOutName.Separator, ' ');
    QTest::mouseClick(dlg.Button2, Qt::LeftButton);
  });
}

TEST_F(Dialogs, FileNamesOkCopiesCancelDiscards) {
  TfmFileNames dlg;
  int result = RunModal(dlg, [&] {
    dlg.Edit1->setText("pre");
    dlg.ComboBox1->setEditText("#");
    QTest::mouseClick(dlg.Button2, Qt::LeftButton);
  });
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_EQ(OutName.Prefix, "");
  EXPECT_EQ(OutName.Separator, '_');

  result = RunModal(dlg, [&] {
    EXPECT_EQ(dlg.Edit1->text(), "");  // starts again from OutName
    EXPECT_EQ(dlg.ComboBox1->currentText(), "_(underline)");
    dlg.Edit1->setText("pre");
    dlg.ComboBox1->setCurrentIndex(1);
    ClickBox(dlg.CheckBox3);
    QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(OutName.Prefix, "pre");
  EXPECT_EQ(OutName.Separator, '.');
  EXPECT_EQ(OutName.SIndex, 1);
  EXPECT_TRUE(OutName.IncludeName);
  EXPECT_FALSE(OutName.IncludeDate);

  OutName.SIndex = -1;  // typed separator: the box opens empty
  OutName.Separator = '+';
  RunModal(dlg, [&] {
    EXPECT_EQ(dlg.ComboBox1->currentText(), "");
    EXPECT_EQ(dlg.Label4->text(), "pre_YouTubeName.mp3");
    dlg.close();
  });
  EXPECT_EQ(OutName.Separator, '+');
}

int main(int argc, char** argv) {
  // Test discovery runs the binary without ctest's environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
