#include <gtest/gtest.h>

#include <QHeaderView>
#include <QTest>
#include <stdexcept>

#include "app/JobGridWidget.h"

TEST(JobGridWidget, ColumnsHeaderAndHiddenReference) {
  TJobGridWidget grid;
  ASSERT_EQ(grid.columnCount(), 10);
  const char* captions[] = {"File name", "Time", "State", "Progress", "Mode",
                            "Quality",   "",     "Codec", "Speed",    "Time left"};
  for (int col = 0; col < 10; ++col)
    EXPECT_EQ(grid.horizontalHeaderItem(col)->text(), captions[col]) << col;
  EXPECT_EQ(grid.columnWidth(colFileName), 233);
  EXPECT_EQ(grid.columnWidth(colTime), 60);
  EXPECT_EQ(grid.columnWidth(colState), 89);
  EXPECT_EQ(grid.columnWidth(colProgress), 140);
  EXPECT_TRUE(grid.isColumnHidden(colJobRef));
  EXPECT_FALSE(grid.horizontalHeader()->isHidden());
  EXPECT_EQ(grid.selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(grid.selectionMode(), QAbstractItemView::ExtendedSelection);
}

TEST(JobGridWidget, CellsProgressAndReferences) {
  TJobGridWidget grid;
  EXPECT_EQ(grid.AppendRow(), 0);
  EXPECT_EQ(grid.AppendRow(), 1);
  EXPECT_EQ(grid.CellText(colProgress, 0), "0");
  EXPECT_EQ(grid.CellText(colJobRef, 0), "0");
  EXPECT_EQ(grid.RowRef(0), 0u);

  grid.SetProgress(1, 45.7);
  EXPECT_DOUBLE_EQ(grid.Progress(1), 45.7);
  EXPECT_EQ(grid.CellText(colProgress, 1), "45");
  grid.SetCellText(colProgress, 1, "100");
  EXPECT_DOUBLE_EQ(grid.Progress(1), 100);
  grid.SetProgress(0, 0.0 / 0.0);  // an unknown size must not break the row
  EXPECT_EQ(grid.CellText(colProgress, 0), "0");

  grid.SetRowRef(1, 123456789012345ull);
  EXPECT_EQ(grid.RowRef(1), 123456789012345ull);
  grid.SetCellText(colState, 1, "Stopped");
  EXPECT_EQ(grid.CellText(colState, 1), "Stopped");

  EXPECT_THROW(grid.CellText(colState, 2), std::out_of_range);
  EXPECT_THROW(grid.SetCellText(JobColumnCount, 0, "x"), std::out_of_range);
  EXPECT_THROW(grid.DeleteRow(-1), std::out_of_range);

  grid.DeleteRow(0);
  EXPECT_EQ(grid.RowCount(), 1);
  EXPECT_EQ(grid.CellText(colState, 0), "Stopped");
  grid.resize(700, 200);
  EXPECT_FALSE(grid.grab().isNull());  // the progress bar paints
}

TEST(JobGridWidget, SelectionOfWholeRowsAndBeforeSelectEvent) {
  TJobGridWidget grid;
  for (int i = 0; i < 4; ++i) grid.AppendRow();
  grid.resize(700, 300);
  grid.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));

  std::vector<std::pair<int, bool>> before;  // row, already selected when told
  QObject::connect(&grid, &TJobGridWidget::BeforeSelect,
                   [&](int row) { before.emplace_back(row, grid.IsRowSelected(row)); });
  std::vector<std::pair<int, int>> clicks;
  QObject::connect(&grid, &TJobGridWidget::CellClick,
                   [&](int col, int row) { clicks.emplace_back(col, row); });

  auto click = [&](int row, int col, Qt::KeyboardModifiers modifiers) {
    QRect cell = grid.visualRect(grid.model()->index(row, col));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, modifiers, cell.center());
  };
  click(1, colState, {});
  click(3, colMode, Qt::ControlModifier);
  EXPECT_EQ(grid.SelectedRows(), (std::vector<int>{1, 3}));
  EXPECT_TRUE(grid.IsRowSelected(3));
  EXPECT_FALSE(grid.IsRowSelected(2));
  ASSERT_GE(before.size(), 2u);
  EXPECT_EQ(before.front(), std::make_pair(1, false));
  EXPECT_EQ(before.back(), std::make_pair(3, false));
  EXPECT_EQ(clicks, (std::vector<std::pair<int, int>>{{colState, 1}, {colMode, 3}}));

  grid.SelectRow(2);
  EXPECT_EQ(grid.SelectedRows(), std::vector<int>{2});
  grid.SelectRow(-1);
  EXPECT_TRUE(grid.SelectedRows().empty());
}

TEST(JobGridWidget, OnlyCellsTooNarrowForTheirTextHaveItAsToolTip) {
  TJobGridWidget grid;
  grid.AppendRow();
  grid.SetCellText(colFileName, 0, "Short");
  grid.SetCellText(colQuality, 0, "MP4 HD (720p) with a long quality name");
  EXPECT_EQ(grid.CellToolTip(colFileName, 0), "");
  EXPECT_EQ(grid.CellToolTip(colQuality, 0), "MP4 HD (720p) with a long quality name");
  const std::string title(200, 'w');
  grid.SetCellText(colFileName, 0, title);
  EXPECT_EQ(grid.CellToolTip(colFileName, 0).toStdString(), title);
  grid.SetCellText(colTimeLeft, 0, "1:02:03");  // the run's figures fit their columns
  grid.SetCellText(colSpeed, 0, "99.9 MB/s");
  EXPECT_EQ(grid.CellToolTip(colTimeLeft, 0), "");
  EXPECT_EQ(grid.CellToolTip(colSpeed, 0), "");
}
