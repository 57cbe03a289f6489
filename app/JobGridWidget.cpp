#include "app/JobGridWidget.h"

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

const char* const kCaptions[JobColumnCount] = {
    "File name", "Time", "State", "Progress", "Mode", "Quality", "", "Codec", "Speed", "Time left"};
// Columns without a width of their own keep the default section size. Speed
// and Time left come after the first eight as they always were; the table
// scrolls to them when the window is too narrow.
const int kWidths[JobColumnCount] = {233, 60, 89, 140, 0, 0, 0, 0, 0, 0};

}  // namespace

void TProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  // Draw the selection background first so selected rows stay whole.
  QStyleOptionViewItem background = option;
  initStyleOption(&background, index);
  background.text.clear();
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

  const double value = index.data(TJobGridWidget::ProgressRole).toDouble();
  QStyleOptionProgressBar bar;
  bar.rect = option.rect.adjusted(2, 2, -2, -2);
  bar.minimum = 0;
  bar.maximum = 100;
  bar.progress = std::isfinite(value) ? static_cast<int>(std::clamp(value, 0.0, 100.0)) : 0;
  bar.text = QString::fromStdString(ProgressText(value));
  bar.textVisible = true;
  bar.textAlignment = Qt::AlignCenter;
  bar.state = option.state | QStyle::State_Horizontal;
  bar.palette = option.palette;
  bar.fontMetrics = option.fontMetrics;
  style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}

TJobGridWidget::TJobGridWidget(QWidget* parent) : QTableWidget(0, JobColumnCount, parent) {
  QStringList captions;
  for (const char* caption : kCaptions) captions << caption;
  setHorizontalHeaderLabels(captions);
  // The fixed widths were laid out for a small UI font; keep the table's text
  // that size so times and states fit their columns.
  QFont small = font();
  if (small.pointSizeF() > 8) small.setPointSizeF(8);
  setFont(small);
  horizontalHeader()->setFont(small);
  horizontalHeader()->setDefaultSectionSize(64);
  horizontalHeader()->setStretchLastSection(true);
  horizontalHeader()->setHighlightSections(false);
  for (int col = 0; col < JobColumnCount; ++col)
    if (kWidths[col] > 0) setColumnWidth(col, kWidths[col]);
  setColumnHidden(colJobRef, true);
  // Mode wide enough for its longest caption; Codec takes what is left.
  setColumnWidth(colMode,
                 std::max(64, QFontMetrics(small).horizontalAdvance("Download&Convert") + 10));
  setColumnWidth(colQuality, 50);
  // The run's figures: as wide as their longest value or their caption.
  const QFontMetrics metrics(small);
  setColumnWidth(
      colSpeed,
      std::max(metrics.horizontalAdvance("99.9 MB/s"), metrics.horizontalAdvance("Speed")) + 8);
  setColumnWidth(
      colTimeLeft,
      std::max(metrics.horizontalAdvance("99:59:59"), metrics.horizontalAdvance("Time left")) + 8);
  for (int col : {colSpeed, colTimeLeft})
    horizontalHeaderItem(col)->setData(Qt::AccessibleTextRole, QString(kCaptions[col]));
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setWordWrap(false);
  setItemDelegateForColumn(colProgress, new TProgressDelegate(this));
  connect(this, &QTableWidget::cellClicked, this,
          [this](int row, int col) { emit CellClick(col, row); });
}

void TJobGridWidget::CheckCell(int col, int row) const {
  if (col < 0 || col >= JobColumnCount)
    throw std::out_of_range("Column index out of bounds (" + std::to_string(col) + ")");
  if (row < 0 || row >= rowCount())
    throw std::out_of_range("Row index out of bounds (" + std::to_string(row) + ")");
}

QTableWidgetItem* TJobGridWidget::Cell(int col, int row) const {
  CheckCell(col, row);
  return item(row, col);
}

int TJobGridWidget::AppendRow() {
  const int row = rowCount();
  insertRow(row);
  for (int col = 0; col < JobColumnCount; ++col) {
    auto* cell = new QTableWidgetItem();
    if (col == colSpeed || col == colTimeLeft)
      cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setItem(row, col, cell);
  }
  SetProgress(row, 0);
  SetRowRef(row, 0);
  return row;
}

void TJobGridWidget::DeleteRow(int row) {
  CheckCell(0, row);
  removeRow(row);
}

std::string TJobGridWidget::CellText(int col, int row) const {
  return Cell(col, row)->text().toStdString();
}

void TJobGridWidget::SetCellText(int col, int row, const std::string& text) {
  if (col == colProgress) {
    CheckCell(col, row);
    SetProgress(row, std::strtod(text.c_str(), nullptr));
    return;
  }
  Cell(col, row)->setText(QString::fromStdString(text));
}

QString TJobGridWidget::CellToolTip(int col, int row) const {
  const QTableWidgetItem* cell = Cell(col, row);
  if (col == colProgress || col == colJobRef || cell->text().isEmpty()) return {};
  // The item view's own text margin on each side.
  const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
  const int room = columnWidth(col) - 2 * margin;
  return QFontMetrics(font()).horizontalAdvance(cell->text()) > room ? cell->text() : QString();
}

bool TJobGridWidget::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    const QString tip = index.isValid() ? CellToolTip(index.column(), index.row()) : QString();
    if (tip.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(index));
    return true;
  }
  return QTableWidget::viewportEvent(event);
}

double TJobGridWidget::Progress(int row) const {
  return Cell(colProgress, row)->data(ProgressRole).toDouble();
}

void TJobGridWidget::SetProgress(int row, double percent) {
  QTableWidgetItem* cell = Cell(colProgress, row);
  cell->setData(ProgressRole, percent);
  cell->setText(QString::fromStdString(ProgressText(percent)));
}

uint64_t TJobGridWidget::RowRef(int row) const {
  return Cell(colJobRef, row)->text().toULongLong();
}

void TJobGridWidget::SetRowRef(int row, uint64_t ref) {
  Cell(colJobRef, row)->setText(QString::number(ref));
}

bool TJobGridWidget::IsRowSelected(int row) const {
  CheckCell(0, row);
  return selectionModel()->isRowSelected(row, QModelIndex());
}

std::vector<int> TJobGridWidget::SelectedRows() const {
  std::vector<int> rows;
  for (int row = 0; row < rowCount(); ++row)
    if (selectionModel()->isRowSelected(row, QModelIndex())) rows.push_back(row);
  return rows;
}

void TJobGridWidget::SelectRow(int row) {
  if (row < 0) {
    clearSelection();
    return;
  }
  CheckCell(0, row);
  selectionModel()->setCurrentIndex(
      model()->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QItemSelectionModel::SelectionFlags TJobGridWidget::selectionCommand(const QModelIndex& index,
                                                                     const QEvent* event) const {
  auto flags = QTableWidget::selectionCommand(index, event);
  // Tell the window before the selection moves, once per row during a drag.
  const bool selects = (flags & QItemSelectionModel::Select) ||
                       ((flags & QItemSelectionModel::Toggle) && index.isValid() &&
                        !selectionModel()->isSelected(index));
  if (index.isValid() && selects) {
    const bool drag = event && event->type() == QEvent::MouseMove;
    if (!drag || index.row() != lastBeforeSelectRow_) {
      lastBeforeSelectRow_ = index.row();
      emit const_cast<TJobGridWidget*>(this)->BeforeSelect(index.row());
    }
  }
  return flags;
}
