#pragma once
#include <array>
#include <set>
#include <string>
#include <vector>

#include "jobs/JobGrid.h"

// The job table without a window: tests and headless tools drive the job code
// through it. Main thread only.
class TMemoryJobGrid : public IJobGrid {
 public:
  int RowCount() const override { return static_cast<int>(rows_.size()); }
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

  // Adds a row to the selection (as a ctrl-click does).
  void AddToSelection(int row);

  // Makes the next write to this column fail, once (to test failure paths).
  void FailNextWriteTo(int col) { failCol_ = col; }

 private:
  struct Row {
    std::array<std::string, JobColumnCount> text;
    double progress = 0;
    uint64_t ref = 0;
    bool selected = false;
  };
  Row& At(int row);
  const Row& At(int row) const;
  static void CheckColumn(int col);

  std::vector<Row> rows_;
  int failCol_ = -1;
};
