#include "app/OptionsDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/Accessible.h"
#include "app/MessageBox.h"
#include "jobs/ExtractorJobs.h"
#include "settings/Settings.h"

TfmOptions::TfmOptions(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Options");
  setWindowFlag(Qt::Tool);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  CheckBox1 = new QCheckBox("Use proxy server", this);
  Label1 = new QLabel("Adress:", this);
  Edit1 = new QLineEdit(this);
  Label2 = new QLabel("Port:", this);
  Edit2 = new QLineEdit(this);
  Label3 = new QLabel("User name:", this);
  Edit3 = new QLineEdit(this);
  Label4 = new QLabel("Password:", this);
  Edit4 = new QLineEdit(this);
  Edit4->setEchoMode(QLineEdit::Password);
  Edit4->setStyleSheet("lineedit-password-character: 42");  // "*", whatever the style
  CheckBox2 = new QCheckBox("Auto paste URL's from the clipboard", this);
  CheckBox3 = new QCheckBox("Delete video after encoding", this);
  Label5 = new QLabel("yt-dlp program:", this);
  Edit5 = new QLineEdit(this);
  Edit5->setPlaceholderText("yt-dlp on PATH");
  Label6 = new QLabel("Cookies from browser:", this);
  ComboBox1 = new QComboBox(this);
  for (int i = 0; i < kCookieBrowserCount; ++i)
    ComboBox1->addItem(i == 0 ? QString("none") : QString::fromUtf8(kCookieBrowsers[i]));
  CheckBox4 = new QCheckBox("Auto paste links of other sites", this);
  Button1 = new QPushButton("OK", this);
  Button1->setDefault(true);

  app::LabelControl(Label1, Edit1);
  app::LabelControl(Label2, Edit2);
  app::LabelControl(Label3, Edit3);
  app::LabelControl(Label4, Edit4);
  app::LabelControl(Label5, Edit5);
  app::LabelControl(Label6, ComboBox1);

  auto* grid = new QGridLayout;
  grid->addWidget(CheckBox1, 0, 0, 1, 2);
  grid->addWidget(Label1, 1, 0);
  grid->addWidget(Edit1, 1, 1);
  grid->addWidget(Label2, 2, 0);
  grid->addWidget(Edit2, 2, 1);
  grid->addWidget(Label3, 3, 0);
  grid->addWidget(Edit3, 3, 1);
  grid->addWidget(Label4, 4, 0);
  grid->addWidget(Edit4, 4, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button1);
  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addWidget(CheckBox2);
  top->addWidget(CheckBox3);
  auto* other = new QGridLayout;
  other->addWidget(Label5, 0, 0);
  other->addWidget(Edit5, 0, 1);
  other->addWidget(Label6, 1, 0);
  other->addWidget(ComboBox1, 1, 1);
  top->addLayout(other);
  top->addWidget(CheckBox4);
  top->addLayout(buttons);
  setMinimumWidth(340);

  CheckBox1Click();  // fields start disabled
  connect(CheckBox1, &QCheckBox::toggled, this, [this] { CheckBox1Click(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TfmOptions::FormShow() {
  CheckBox1->setChecked(cvOptions.IsProxy);
  Edit1->setText(QString::fromStdString(cvOptions.ProxyAdress));
  Edit2->setText(QString::number(cvOptions.ProxyPort));
  Edit3->setText(QString::fromStdString(cvOptions.ProxyUser));
  Edit4->setText(QString::fromStdString(cvOptions.ProxyPassword));
  CheckBox2->setChecked(cvOptions.AutoPaste);
  CheckBox3->setChecked(cvOptions.DeleteVideo);
  Edit5->setText(QString::fromStdString(cvOptions.YtDlpProgram));
  int browser = 0;
  for (int i = 1; i < kCookieBrowserCount; ++i)
    if (cvOptions.YtDlpCookiesBrowser == kCookieBrowsers[i]) browser = i;
  ComboBox1->setCurrentIndex(browser);
  CheckBox4->setChecked(cvOptions.AutoPasteOtherSites);
  CheckBox1Click();
}

void TfmOptions::CheckBox1Click() {
  const bool on = CheckBox1->isChecked();
  for (QWidget* w :
       {static_cast<QWidget*>(Label1), static_cast<QWidget*>(Edit1), static_cast<QWidget*>(Label2),
        static_cast<QWidget*>(Edit2), static_cast<QWidget*>(Label3), static_cast<QWidget*>(Edit3),
        static_cast<QWidget*>(Label4), static_cast<QWidget*>(Edit4)})
    w->setEnabled(on);
}

void TfmOptions::Button1Click() {
  cvOptions.IsProxy = CheckBox1->isChecked();
  cvOptions.ProxyAdress = Edit1->text().toStdString();
  bool ok = false;
  const int port = Edit2->text().toInt(&ok, 10);
  if (!ok) {
    // The first two fields are already stored; the dialog stays open.
    ShowMessageBox(this, QString("'%1' is not a valid integer value").arg(Edit2->text()),
                   "Vantorel 1.0", QMessageBox::Critical);
    return;
  }
  cvOptions.ProxyPort = port;
  cvOptions.ProxyUser = Edit3->text().toStdString();
  cvOptions.ProxyPassword = Edit4->text().toStdString();
  cvOptions.AutoPaste = CheckBox2->isChecked();
  cvOptions.DeleteVideo = CheckBox3->isChecked();
  cvOptions.YtDlpProgram = Edit5->text().trimmed().toStdString();
  const int browser = ComboBox1->currentIndex();
  cvOptions.YtDlpCookiesBrowser = browser > 0 && browser < kCookieBrowserCount ? kCookieBrowsers[browser] : "";
  cvOptions.AutoPasteOtherSites = CheckBox4->isChecked();
  PublishExtractorChoice();
  accept();
}

void TfmOptions::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}
