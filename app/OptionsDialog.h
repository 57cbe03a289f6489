#pragma once
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

// "Options": edits cvOptions. OK stores; the close box discards. Created once
// and reused.
class TfmOptions : public QDialog {
  Q_OBJECT

 public:
  explicit TfmOptions(QWidget* parent = nullptr);

  // What "Options..." does: runs the dialog modally. Returns the QDialog result.
  int Execute() { return exec(); }

  void FormShow();        // controls from cvOptions
  void CheckBox1Click();  // proxy fields follow "Use proxy server"
  void Button1Click();    // OK

  QCheckBox* CheckBox1;  // use proxy server
  QLabel* Label1;
  QLineEdit* Edit1;  // address
  QLabel* Label2;
  QLineEdit* Edit2;  // port
  QLabel* Label3;
  QLineEdit* Edit3;  // user name
  QLabel* Label4;
  QLineEdit* Edit4;      // password, masked
  QCheckBox* CheckBox2;  // auto paste
  QCheckBox* CheckBox3;  // delete video
  // Links of other sites (the external extractor).
  QLabel* Label5;
  QLineEdit* Edit5;          // yt-dlp program; empty: on PATH
  QLabel* Label6;
  QComboBox* ComboBox1;      // cookies from browser: none, then the browsers
  QCheckBox* CheckBox4;      // auto paste links of other sites
  QPushButton* Button1;

 protected:
  void showEvent(QShowEvent* event) override;
};
