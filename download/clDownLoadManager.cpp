// The item list and the manager: TclDownLoadList and TclMultiDownLoader.
#include <algorithm>

#include "download/clMultiDownLoader.h"
#include "platform/Files.h"
#include "platform/Text.h"

// --- TclDownLoadList ---

TclDownLoadItem* TclDownLoadList::Add() {
  VANTOREL_ASSERT_OWNER(owner_->OwnerQueue());
  items_.push_back(std::make_unique<TclDownLoadItem>(this));
  auto* item = items_.back().get();
  const auto& folder = owner_->LocalFolder();
  if (!folder.empty()) item->SetLocalFile(dlpath::WithSlash(folder));
  return item;
}

void TclDownLoadList::Clear() {
  VANTOREL_ASSERT_OWNER(owner_->OwnerQueue());
  while (!items_.empty()) {
    // Destroy outside the vector: a running item waits and runs callbacks meanwhile.
    auto item = std::move(items_.back());
    items_.pop_back();
    item.reset();
  }
}

void TclDownLoadList::Delete(int index) {
  VANTOREL_ASSERT_OWNER(owner_->OwnerQueue());
  if (index < 0 || index >= Count()) return;
  auto item = std::move(items_[static_cast<size_t>(index)]);
  items_.erase(items_.begin() + index);
  item.reset();
}

int TclDownLoadList::IndexOf(const TclDownLoadItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return static_cast<int>(i);
  return -1;
}

// --- TclMultiDownLoader ---

TclMultiDownLoader::TclMultiDownLoader(std::shared_ptr<platform::CallQueue> owner)
    : ownerQueue_(std::move(owner)) {}

TclMultiDownLoader::~TclMultiDownLoader() {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  destroying_ = true;
  waiting_.clear();
  downLoadList_.Clear();
}

void TclMultiDownLoader::SetTryCount(int value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value > 0) tryCount_ = value;
}
void TclMultiDownLoader::SetTimeOut(int value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value > 0) timeOut_ = value;
}
void TclMultiDownLoader::SetReconnectAfter(int value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value > 0) reconnectAfter_ = value;
}
void TclMultiDownLoader::SetBatchSize(int value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value > 0) batchSize_ = value;
}
void TclMultiDownLoader::SetPreviewCharCount(int value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value >= 0) previewCharCount_ = value;
}
void TclMultiDownLoader::SetDefaultChar(unsigned char value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value >= 32) defaultChar_ = value;
}
void TclMultiDownLoader::SetMinResourceSize(int64_t value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value >= 0) minResourceSize_ = value;
}
void TclMultiDownLoader::SetMaxResourceSize(int64_t value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value >= 0) maxResourceSize_ = value;
}
void TclMultiDownLoader::SetMaxStartedItems(int value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value >= 0) maxStartedItems_ = value;
}

void TclMultiDownLoader::SetLocalFolder(const std::string& value) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (value == localFolder_) return;
  localFolder_ = value;
  for (int i = 0; i < downLoadList_.Count(); ++i) {
    auto* item = downLoadList_.Items(i);
    item->SetLocalFile(dlpath::WithSlash(value) + platform::ExtractFileName(item->LocalFile()));
  }
}

std::string TclMultiDownLoader::ProxyBypassLine() const {
  std::string line;
  for (size_t i = 0; i < ProxyBypass.size(); ++i) {
    if (i) line += " ";
    line += ProxyBypass[i];
  }
  return platform::TrimBlanks(line);
}

void TclMultiDownLoader::Start(TclDownLoadItem* item, bool isAsync) {
  if (!ownerQueue_->IsBaseThread()) {
    // Items always run on the owner thread, so their events land there.
    std::vector<std::shared_ptr<platform::ManualResetEvent>> idle;
    ownerQueue_->Call([&] {
      if (item) {
        StartItem(item, true);
        idle.push_back(item->idle_);
      } else {
        for (int i = 0; i < downLoadList_.Count(); ++i) {
          StartItem(downLoadList_.Items(i), true);
          idle.push_back(downLoadList_.Items(i)->idle_);
        }
      }
    });
    if (!isAsync)
      for (auto& e : idle) e->Wait();
    return;
  }
  if (item) {
    StartItem(item, isAsync);
  } else {
    for (int i = 0; i < downLoadList_.Count(); ++i) StartItem(downLoadList_.Items(i), isAsync);
  }
}

void TclMultiDownLoader::StartItem(TclDownLoadItem* item, bool isAsync) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (item->IsRunning() || std::find(waiting_.begin(), waiting_.end(), item) != waiting_.end())
    throw EclInternetError("Operation is in progress", kErrorOperationInProgress);
  if (isAsync && maxStartedItems_ > 0 && startedCount_ >= maxStartedItems_) {
    waiting_.push_back(item);
    return;
  }
  ++startedCount_;
  auto idle = item->idle_;
  item->Start();
  if (!isAsync) {
    // Worker callbacks must keep running here while we wait.
    while (!idle->IsSet())
      platform::PumpUntil([&] { return idle->IsSet(); }, std::chrono::hours(1));
  }
}

void TclMultiDownLoader::Stop(TclDownLoadItem* item) {
  if (!ownerQueue_->IsBaseThread()) {
    ownerQueue_->Call([&] { Stop(item); });
    return;
  }
  if (item) {
    StopItem(item);
  } else {
    for (int i = 0; i < downLoadList_.Count(); ++i) StopItem(downLoadList_.Items(i));
  }
}

void TclMultiDownLoader::StopItem(TclDownLoadItem* item) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  RemoveFromQueue(item);
  item->Stop();
}

void TclMultiDownLoader::RemoveFromQueue(TclDownLoadItem* item) {
  waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), item), waiting_.end());
}

void TclMultiDownLoader::ChangeBusy(int delta) {
  int old = busyCount_;
  busyCount_ = std::max(0, busyCount_ + delta);
  if ((old == 0) != (busyCount_ == 0) && !Silent() && OnIsBusyChanged) OnIsBusyChanged(this);
}

void TclMultiDownLoader::InternalDone(TclDownLoadItem* item) {
  VANTOREL_ASSERT_OWNER(ownerQueue_);
  if (startedCount_ > 0) --startedCount_;
  TclDownLoadItem* follow = nullptr;
  if (!Silent() && OnFollowUp) {
    try {
      follow = OnFollowUp(this, item);
    } catch (const std::exception&) {
      follow = nullptr;  // the item ends as it is
    }
    if (follow && (follow->IsRunning() ||
                   std::find(waiting_.begin(), waiting_.end(), follow) != waiting_.end()))
      follow = nullptr;
  }
  if (follow) {
    ++startedCount_;
    follow->Start();
  } else if (!waiting_.empty() && !Silent()) {
    auto* next = waiting_.front();
    waiting_.pop_front();
    ++startedCount_;
    next->Start();
  }
  ChangeBusy(-1);
  if (!Silent() && OnProcessCompleted) OnProcessCompleted(this, item);
}
