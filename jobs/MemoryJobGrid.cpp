#include "jobs/MemoryJobGrid.h"

#include <cstdlib>
#include <stdexcept>

int TMemoryJobGrid::AppendRow() {
  rows_.emplace_back();
  return RowCount() - 1;
}

void TMemoryJobGrid::DeleteRow(int row) {
  At(row);
  rows_.erase(rows_.begin() + row);
}

TMemoryJobGrid::Row& TMemoryJobGrid::At(int row) {
  if (row < 0 || row >= RowCount())
    throw std::out_of_range("Row index out of bounds (" + std::to_string(row) + ")");
  return rows_[static_cast<size_t>(row)];
}

const TMemoryJobGrid::Row& TMemoryJobGrid::At(int row) const {
  return const_cast<TMemoryJobGrid*>(this)->At(row);
}

void TMemoryJobGrid::CheckColumn(int col) {
  if (col < 0 || col >= JobColumnCount)
    throw std::out_of_range("Column index out of bounds (" + std::to_string(col) + ")");
}

std::string TMemoryJobGrid::CellText(int col, int row) const {
  CheckColumn(col);
  const Row& r = At(row);
  if (col == colProgress) return ProgressText(r.progress);
  if (col == colJobRef) return std::to_string(r.ref);
  return r.text[static_cast<size_t>(col)];
}

void TMemoryJobGrid::SetCellText(int col, int row, const std::string& text) {
  CheckColumn(col);
  Row& r = At(row);
  if (col == failCol_) {
    failCol_ = -1;
    throw std::runtime_error("Cannot write cell");
  }
  if (col == colProgress)
    r.progress = std::strtod(text.c_str(), nullptr);
  else if (col == colJobRef)
    r.ref = std::strtoull(text.c_str(), nullptr, 10);
  else
    r.text[static_cast<size_t>(col)] = text;
}

double TMemoryJobGrid::Progress(int row) const {
  return At(row).progress;
}
void TMemoryJobGrid::SetProgress(int row, double percent) {
  At(row).progress = percent;
}
uint64_t TMemoryJobGrid::RowRef(int row) const {
  return At(row).ref;
}
void TMemoryJobGrid::SetRowRef(int row, uint64_t ref) {
  At(row).ref = ref;
}
bool TMemoryJobGrid::IsRowSelected(int row) const {
  return At(row).selected;
}

std::vector<int> TMemoryJobGrid::SelectedRows() const {
  std::vector<int> rows;
  for (int i = 0; i < RowCount(); ++i)
    if (rows_[static_cast<size_t>(i)].selected) rows.push_back(i);
  return rows;
}

void TMemoryJobGrid::SelectRow(int row) {
  if (row >= 0) At(row);
  for (auto& r : rows_) r.selected = false;
  if (row >= 0) rows_[static_cast<size_t>(row)].selected = true;
}

void TMemoryJobGrid::AddToSelection(int row) {
  At(row).selected = true;
}
