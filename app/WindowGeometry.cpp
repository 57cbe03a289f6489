// The main window's size, place and column widths across sessions, and the
// column that takes the table's extra width.
#include "app/WindowGeometry.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QScreen>
#include <QStringList>
#include <QTableView>
#include <algorithm>

#include "settings/Settings.h"

namespace app {

namespace {

// Larger than any screen this program will meet; a bigger value is garbage.
const int kLargest = 16384;
// Part of the title strip that must lie on a screen for a kept position to count.
const int kVisibleWidth = 100;
const int kVisibleHeight = 20;
const int kWidestColumn = 4000;

bool OnSomeScreen(const QRect& frame) {
  const QRect title(frame.left(), frame.top(), frame.width(), kVisibleHeight * 2);
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect shared = screen->availableGeometry().intersected(title);
    if (shared.width() >= kVisibleWidth && shared.height() >= kVisibleHeight) return true;
  }
  return false;
}

void Center(QMainWindow& window) {
  QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  window.move(area.center() - QPoint(window.width() / 2, window.height() / 2));
}

}  // namespace

TFillColumn::TFillColumn(QTableView& table, int column)
    : QObject(&table),
      table_(table),
      viewport_(table.viewport()),
      column_(column),
      minimum_(table.columnWidth(column)) {
  // This column, not the last, takes the extra width.
  table_.horizontalHeader()->setStretchLastSection(false);
  viewport_->installEventFilter(this);
  connect(table_.horizontalHeader(), &QHeaderView::sectionResized, this,
          [this](int section, int, int) {
            if (section != column_) Refit();
          });
}

bool TFillColumn::eventFilter(QObject* watched, QEvent* event) {
  if (watched == viewport_ && event->type() == QEvent::Resize) Refit();
  return QObject::eventFilter(watched, event);
}

void TFillColumn::Refit() {
  if (fitting_) return;
  fitting_ = true;
  const QHeaderView* header = table_.horizontalHeader();
  int others = 0;
  for (int col = 0; col < header->count(); ++col)
    if (col != column_ && !header->isSectionHidden(col)) others += header->sectionSize(col);
  table_.setColumnWidth(column_, std::max(minimum_, viewport_->width() - others));
  fitting_ = false;
}

void ApplyWindowPlace(QMainWindow& window, QTableView& table, const TWindowPlace& place) {
  const QSize least = window.minimumSize();
  const bool sizeKept = place.Width >= least.width() && place.Height >= least.height() &&
                        place.Width <= kLargest && place.Height <= kLargest;
  const QRect frame(place.Left, place.Top, place.Width, place.Height);
  const bool kept = sizeKept && OnSomeScreen(frame);
  if (kept) {
    window.resize(place.Width, place.Height);
    window.move(place.Left, place.Top);
  } else {
    window.resize(least);
    Center(window);
  }
  if (kept && place.Maximized) window.setWindowState(window.windowState() | Qt::WindowMaximized);

  const QStringList widths = QString::fromStdString(place.Columns).split(',');
  QHeaderView* header = table.horizontalHeader();
  if (widths.size() != header->count()) return;
  std::vector<int> values;
  for (const QString& text : widths) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < 0 || value > kWidestColumn) return;
    values.push_back(value);
  }
  for (int col = 0; col < header->count(); ++col)
    if (!header->isSectionHidden(col) && values[col] >= header->minimumSectionSize())
      table.setColumnWidth(col, values[col]);
}

TWindowPlace CaptureWindowPlace(const QMainWindow& window, const QTableView& table) {
  TWindowPlace place;
  const bool maximized = window.isMaximized();
  // Maximised (or not shown yet), the normal geometry is the one to come back to.
  const QRect normal = maximized ? window.normalGeometry() : window.geometry();
  const QPoint frameTopLeft = maximized ? normal.topLeft() : window.pos();
  place.Left = frameTopLeft.x();
  place.Top = frameTopLeft.y();
  place.Width = normal.width();
  place.Height = normal.height();
  place.Maximized = maximized;
  QStringList widths;
  const QHeaderView* header = table.horizontalHeader();
  for (int col = 0; col < header->count(); ++col)
    widths << QString::number(header->isSectionHidden(col) ? 0 : header->sectionSize(col));
  place.Columns = widths.join(',').toStdString();
  return place;
}

}  // namespace app
