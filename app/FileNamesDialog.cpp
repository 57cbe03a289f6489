#include "app/FileNamesDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/Accessible.h"
#include "settings/OutputName.h"

TOutName EditOutName;

TfmFileNames::TfmFileNames(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Output name");
  setWindowFlag(Qt::Tool);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  Edit1 = new QLineEdit(this);
  CheckBox3 = new QCheckBox("Include name", this);
  CheckBox4 = new QCheckBox("Include date", this);
  Edit2 = new QLineEdit(this);
  ComboBox1 = new QComboBox(this);
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);  // typed text stays typed text
  ComboBox1->addItems({"_(underline)", ".(dot)", ",(comma)", "-(dash)", " (space)"});
  ComboBox1->setCurrentIndex(0);
  Label4 = new QLabel(this);
  QFont bold = Label4->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.3);
  Label4->setFont(bold);
  Label4->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Button1 = new QPushButton("OK", this);
  Button2 = new QPushButton("Cancel", this);
  Button1->setDefault(true);

  auto* grid = new QGridLayout;
  grid->addWidget(app::LabelControl(new QLabel("Prefix:", this), Edit1), 0, 0);
  grid->addWidget(Edit1, 0, 1);
  grid->addWidget(CheckBox3, 1, 1);
  grid->addWidget(CheckBox4, 2, 1);
  grid->addWidget(app::LabelControl(new QLabel("Postfix:", this), Edit2), 3, 0);
  grid->addWidget(Edit2, 3, 1);
  grid->addWidget(app::LabelControl(new QLabel("Separator:", this), ComboBox1), 4, 0);
  grid->addWidget(ComboBox1, 4, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addWidget(Label4);
  top->addLayout(buttons);
  setMinimumWidth(360);

  connect(Edit1, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
  connect(Edit2, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
  connect(ComboBox1, &QComboBox::editTextChanged, this, [this] { Edit1Change(); });
  connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this] { Edit1Change(); });
  connect(CheckBox3, &QCheckBox::toggled, this, [this] { Edit1Change(); });
  connect(CheckBox4, &QCheckBox::toggled, this, [this] { Edit1Change(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

int TfmFileNames::Execute() {
  LoadControls();
  return exec();
}

void TfmFileNames::LoadControls() {
  Edit1->setText(QString::fromStdString(OutName.Prefix));
  Edit2->setText(QString::fromStdString(OutName.Postfix));
  CheckBox3->setChecked(OutName.IncludeName);
  CheckBox4->setChecked(OutName.IncludeDate);
  // An index outside the list (-1 for a typed separator) shows an empty box.
  bool inList = OutName.SIndex >= 0 && OutName.SIndex < ComboBox1->count();
  ComboBox1->setCurrentIndex(inList ? OutName.SIndex : -1);
  // The text is set too: a text typed before a Cancel must not stay.
  ComboBox1->setEditText(inList ? ComboBox1->itemText(OutName.SIndex) : QString());
  Edit1Change();
}

void TfmFileNames::Edit1Change() {
  const QString sep = ComboBox1->currentText();
  EditOutName.Prefix = Edit1->text().toStdString();
  EditOutName.Postfix = Edit2->text().toStdString();
  EditOutName.IncludeName = CheckBox3->isChecked();
  EditOutName.IncludeDate = CheckBox4->isChecked();
  // An empty box (cleared, or opened on a typed separator) has no first character;
  // it stands for "_", the same default the settings file uses for an empty value,
  // so the preview always shows the name that will be made.
  EditOutName.Separator = settings::SeparatorFromText(sep.toStdString());
  int index = ComboBox1->currentIndex();
  if (index < 0 || ComboBox1->itemText(index) != sep) index = ComboBox1->findText(sep);
  EditOutName.SIndex = index;
  Label4->setText(QString::fromStdString(MakeOutputName(EditOutName, "YouTubeName", ".mp3")));
}

void TfmFileNames::Button1Click() {
  OutName = EditOutName;
  accept();
}

void TfmFileNames::Button2Click() {
  reject();
}

void TfmFileNames::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Edit1Change();
}
