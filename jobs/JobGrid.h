#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Columns of the job table, in display order.
enum TJobColumn : int {
  colFileName = 0,
  colTime = 1,
  colState = 2,
  colProgress = 3,
  colMode = 4,
  colQuality = 5,
  colJobRef = 6,  // hidden; holds the job's reference (0 = none)
  colCodec = 7,
  colSpeed = 8,     // download rate or encoder speed while the job runs
  colTimeLeft = 9,  // estimate from that speed
  JobColumnCount = 10
};

// Text of a progress value: whole percent, rounded down so that 99.6 never
// reads as finished. Values that are not finite read as 0.
inline std::string ProgressText(double percent) {
  double whole = std::trunc(percent);
  if (!std::isfinite(whole) || whole == 0) return "0";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f", whole);
  return buf;
}

// The job table as the job code sees it. The Qt widget implements it for the
// window; TMemoryJobGrid stands in for it in tests. Main thread only.
// A row or column out of range throws std::out_of_range.
class IJobGrid {
 public:
  virtual ~IJobGrid() = default;

  virtual int RowCount() const = 0;
  // Appends an empty row at the end (Progress 0, reference 0); returns its index.
  virtual int AppendRow() = 0;
  virtual void DeleteRow(int row) = 0;

  // Text cells. The Progress column reads as its value's text and accepts a
  // number; the reference column reads as the reference in decimal.
  virtual std::string CellText(int col, int row) const = 0;
  virtual void SetCellText(int col, int row, const std::string& text) = 0;

  // Percent shown by the row's progress bar.
  virtual double Progress(int row) const = 0;
  virtual void SetProgress(int row, double percent) = 0;

  // The hidden reference cell: a value from which the row's job is found again
  // (TEncItem::Ref / TEncItem::FromRef).
  virtual uint64_t RowRef(int row) const = 0;
  virtual void SetRowRef(int row, uint64_t ref) = 0;

  virtual bool IsRowSelected(int row) const = 0;
  // Selected rows in ascending order.
  virtual std::vector<int> SelectedRows() const = 0;
  // Makes row the only selected (and current) row; -1 clears the selection.
  virtual void SelectRow(int row) = 0;
};
