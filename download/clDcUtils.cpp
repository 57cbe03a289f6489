#include "download/clDcUtils.h"
#include "platform/Text.h"


void TclResourceInfo::Assign(const TclResourceInfo& source) {
  *this = source;
  AllowsRandomAccess = source.CanSplit();
}

void TclResourceStateItem::SetResourcePos(int64_t value) {
  if (value >= 0) resourcePos_ = value;
}

void TclResourceStateItem::SetResourceSize(int64_t value) {
  if (value >= 0) resourceSize_ = value;
}

void TclResourceStateItem::SetBytesProceed(int64_t value) {
  bytesProceed_ = value;
  if (owner_) owner_->UpdateProgress();
}

TclResourceStateItem* TclResourceStateList::Add() {
  items_.push_back(std::make_unique<TclResourceStateItem>(this));
  return items_.back().get();
}

void TclResourceStateList::Clear() { items_.clear(); }

int64_t TclResourceStateList::BytesProceed() const {
  int64_t sum = 0;
  for (const auto& item : items_) sum += item->BytesProceed();
  return sum;
}

void TclResourceStateList::Reset() {
  for (auto& item : items_) item->SetStatus(psUnknown);
  lastStatus_ = psUnknown;
  speed_ = 0;
  elapsedTime_ = 0;
  resetBytes_ = BytesProceed();
  start_ = last_ = TClock::now();
}

TclProcessStatus TclResourceStateList::OverallStatus() const {
  TclProcessStatus result = psUnknown;
  for (auto wanted : {psProcess, psTerminated, psFailed, psErrors, psSuccess}) {
    bool found = false;
    for (const auto& item : items_)
      if (item->Status() == wanted) found = true;
    if (found) {
      result = wanted;
      break;
    }
  }
  if ((result == psSuccess || result == psUnknown) && lastStatus_ != psUnknown) result = lastStatus_;
  return result;
}

std::vector<std::pair<int64_t, int64_t>> TclResourceStateList::Split(int64_t size, int count) {
  std::vector<std::pair<int64_t, int64_t>> parts;
  if (count < 1) count = 1;
  if (size <= 0) {
    parts.assign(static_cast<size_t>(count), {0, 0});
    return parts;
  }
  int64_t part = size / count;
  for (int i = 0; i < count; ++i) {
    int64_t pos = i * part;
    parts.emplace_back(pos, i == count - 1 ? size - pos : part);
  }
  return parts;
}

void TclResourceStateList::UpdateProgress() {
  auto now = TClock::now();
  double seconds = std::chrono::duration<double>(now - start_).count();
  if (seconds > 0) speed_ = static_cast<double>(BytesProceed() - resetBytes_) / seconds;
  last_ = now;
  elapsedTime_ = seconds;
  if (OnChanged) OnChanged();
}

std::string ExtractFileNameFromDisposition(const std::string& disposition) {
  const std::string lower = platform::AsciiLower(disposition);
  const std::string key = "filename=";
  auto at = lower.find(key);
  if (at == std::string::npos) return "";
  std::string rest = disposition.substr(at + key.size(), 1000);
  // The value ends at the first separator outside quotes.
  char quote = 0;
  size_t end = 0;
  for (; end < rest.size(); ++end) {
    char c = rest[end];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ',' || c == ';') {
      break;
    }
  }
  std::string name = platform::TrimBlanks(rest.substr(0, end));
  if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') &&
      name.back() == name.front())
    name = name.substr(1, name.size() - 2);
  // A server-chosen name must stay inside the target folder.
  auto slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  std::string clean;
  for (char c : name)
    if (static_cast<unsigned char>(c) >= ' ') clean += c;
  clean = platform::TrimBlanks(clean);
  if (clean == "." || clean == "..") return "";
  return clean;
}
