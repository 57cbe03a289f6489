#pragma once
#include <QStyledItemDelegate>
#include <QTableWidget>

#include "jobs/JobGrid.h"

// Draws the Progress column as a bar with its value as text.
class TProgressDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};

// The job table: a header, whole rows selected (several at once), a hidden
// column holding each row's job reference and a progress-bar column.
// GUI thread only.
class TJobGridWidget : public QTableWidget, public IJobGrid {
  Q_OBJECT
 public:
  // Role under which the Progress column keeps its value (double).
  static constexpr int ProgressRole = Qt::UserRole + 1;

  explicit TJobGridWidget(QWidget* parent = nullptr);

  int RowCount() const override { return rowCount(); }
  int AppendRow() override;
  void DeleteRow(int row) override;
  std::string CellText(int col, int row) const override;
  void SetCellText(int col, int row, const std::string& text) override;
  double Progress(int row) const override;
  void SetProgress(int row, double percent) override;
  uint64_t RowRef(int row) const override;
  void SetRowRef(int row, uint64_t ref) override;
  bool IsRowSelected(int row) const override;
  std::vector<int> SelectedRows() const override;
  void SelectRow(int row) override;

  // The whole text of a cell too narrow for it, else empty (the cell's tool tip).
  QString CellToolTip(int col, int row) const;

 signals:
  // A row is about to become selected by the user (mouse or keyboard).
  void BeforeSelect(int row);
  // A cell was clicked.
  void CellClick(int col, int row);

 protected:
  bool viewportEvent(QEvent* event) override;
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override;

 private:
  void CheckCell(int col, int row) const;
  QTableWidgetItem* Cell(int col, int row) const;

  mutable int lastBeforeSelectRow_ = -1;
};
