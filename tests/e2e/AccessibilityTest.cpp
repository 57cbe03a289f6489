#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/OptionsDialog.h"

namespace {

QString Name(QObject* object) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  return iface ? iface->text(QAccessible::Name) : QString("<none>");
}

// The caption a screen reader announces through the "labelled by" relation;
// on Linux Qt names a combo box by its value and relies on this relation.
QString LabelOf(QObject* object) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  if (!iface) return "<none>";
  for (const auto& [other, relation] : iface->relations(QAccessible::Label))
    return other->text(QAccessible::Name);
  return "<no label>";
}

}  // namespace

// Screen readers and GUI automation find controls by the captions users see.
TEST(Accessibility, ControlsAreNamedByTheirCaptions) {
  TfmMain window;
  EXPECT_EQ(Name(window.btnDownload), "Start");
  EXPECT_EQ(Name(window.btnStop), "Stop All");
  EXPECT_EQ(Name(window.edFolder), "Output folder");
  EXPECT_EQ(LabelOf(window.edFolder), "Output folder:");
  EXPECT_EQ(LabelOf(window.cbPresets), "Presets:");
  EXPECT_EQ(LabelOf(window.cbAbitRate), "Audio bitrate, kbps:");
  EXPECT_EQ(LabelOf(window.cbVideoSize), "Video size:");
  EXPECT_EQ(Name(window.ngListItems), "Jobs");
  // The job menu's entries for the result, as a screen reader reads the menu.
  QAccessibleInterface* menu = QAccessible::queryAccessibleInterface(window.PopupMenu2);
  ASSERT_TRUE(menu);
  QStringList entries;
  for (int i = 0; i < menu->childCount(); ++i) entries << menu->child(i)->text(QAccessible::Name);
  EXPECT_TRUE(entries.contains("Open")) << entries.join('|').toStdString();
  EXPECT_TRUE(entries.contains("Show in folder")) << entries.join('|').toStdString();

  TfmOptions options;
  EXPECT_EQ(Name(options.Edit1), "Adress");
  EXPECT_EQ(Name(options.Edit4), "Password");
}

// The table reads out its header and every cell, the progress included (which
// is painted as a bar, so its text must still be in the model).
TEST(Accessibility, JobTableExposesHeadersAndCellTexts) {
  TJobGridWidget grid;
  const int row = grid.AppendRow();
  grid.SetCellText(colFileName, row, "Some Title");
  grid.SetCellText(colState, row, "Successfully!");
  grid.SetProgress(row, 42.5);

  QAccessibleInterface* table = QAccessible::queryAccessibleInterface(&grid);
  ASSERT_TRUE(table && table->tableInterface());
  QStringList headers;
  for (int i = 0; i < table->childCount(); ++i)
    if (table->child(i)->role() == QAccessible::ColumnHeader)
      headers << table->child(i)->text(QAccessible::Name);
  EXPECT_EQ(headers.join('|'), "File name|Time|State|Progress|Mode|Quality||Codec|Speed|Time left");

  auto cell = [&](int col) {
    QAccessibleInterface* c = table->tableInterface()->cellAt(row, col);
    return c ? c->text(QAccessible::Name) : QString("<none>");
  };
  EXPECT_EQ(cell(colFileName), "Some Title");
  EXPECT_EQ(cell(colState), "Successfully!");
  EXPECT_EQ(cell(colProgress), "42");
}
