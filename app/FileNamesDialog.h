#pragma once
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "settings/Settings.h"

// The dialog's working copy of the naming rule; OK copies it into OutName.
extern TOutName EditOutName;

// "Output name": edits the naming rule with a live preview. Created once and reused.
class TfmFileNames : public QDialog {
  Q_OBJECT

 public:
  explicit TfmFileNames(QWidget* parent = nullptr);

  // What "Output name..." does: the controls are set from OutName, then the
  // dialog runs modally. Returns the QDialog result.
  int Execute();
  // Step one of that: controls from OutName (the separator box shows entry SIndex).
  void LoadControls();

  // Refresh: EditOutName from the controls and the preview for "YouTubeName.mp3".
  void Edit1Change();
  void Button1Click();  // OK
  void Button2Click();  // Cancel

  QLineEdit* Edit1;      // prefix
  QCheckBox* CheckBox3;  // include name
  QCheckBox* CheckBox4;  // include date
  QLineEdit* Edit2;      // postfix
  QComboBox* ComboBox1;  // separator
  QLabel* Label4;        // preview
  QPushButton* Button1;
  QPushButton* Button2;

 protected:
  void showEvent(QShowEvent* event) override;
};
