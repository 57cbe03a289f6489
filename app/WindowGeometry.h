#pragma once
#include <QObject>

class QMainWindow;
class QTableView;
struct TWindowPlace;

namespace app {

// Gives the job table's extra width to one column: whenever the viewport or
// another column changes size, that column takes what the others leave, never
// less than its first width. Narrower windows scroll sideways as before.
class TFillColumn : public QObject {
  Q_OBJECT
 public:
  TFillColumn(QTableView& table, int column);
  void Refit();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QTableView& table_;
  // Kept apart: the viewport still sends events while the table is being
  // destroyed, when the table itself can no longer be asked for it.
  QWidget* viewport_;
  int column_;
  int minimum_;
  bool fitting_ = false;
};

// The window's place from the settings: size and position when they are sane
// and the window's title would be on a visible screen, else the first size,
// centred; the maximised state; the table's column widths when there is one
// plausible width per column. Call before the window is first shown.
void ApplyWindowPlace(QMainWindow& window, QTableView& table, const TWindowPlace& place);

// The window's place to keep: its normal (not maximised) geometry, whether it is
// maximised, and the column widths.
TWindowPlace CaptureWindowPlace(const QMainWindow& window, const QTableView& table);

}  // namespace app
