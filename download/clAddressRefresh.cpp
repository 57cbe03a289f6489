// A refused stream address (HTTP 403/410): the item waits for its owner's new
// address, probes it and continues in the same file, or starts that file again
// for another resource; two refreshes in a row that bring no data end it.
#include <algorithm>

#include "download/clMultiDownLoader.h"

void TclDownLoadItem::ResetAddressRefresh() {
  awaitingAddress_ = restartPending_ = bytesSinceRefresh_ = finishPosted_ = false;
  addressGeneration_ = refreshes_ = failedRefreshes_ = 0;
  refreshProbe_.reset();
  refreshInfo_.reset();
}

// Takes over the end of a worker that belongs to the refresh: one that met a
// refused address, the probe of a new address, and every worker that ends while
// the file starts again for another resource. False for any other.
bool TclDownLoadItem::TakeRefreshTermination(const THolder& holder) {
  const auto worker = holder.worker;
  const bool probe = worker == refreshProbe_;
  if (!probe && !worker->AddressExpired() && !restartPending_) return false;
  TclResourceStateItem* segment = holder.segment;
  lastWorkerHeaders_ = worker->ResponseHeaders();
  workers_.erase(std::find_if(workers_.begin(), workers_.end(),
                              [&](const THolder& h) { return h.worker == worker; }));
  if (probe) refreshProbe_.reset();
  if (stopping_ || resourceChanged_) {
    FinishWhenIdle();
  } else if (restartPending_) {
    if (workers_.empty()) RestartWithRefreshedResource();
  } else if (probe) {
    RefreshProbed(*worker);
  } else if (awaitingAddress_ || refreshProbe_) {
    // This episode's new address is on its way; the segment waits for it.
  } else if (!probing_ && worker->AddressGeneration < addressGeneration_) {
    // Started at an address that was replaced meanwhile: the current one serves it.
    if (segment && segment->Status() != psSuccess) {
      segment->SetStatus(psProcess);
      LaunchWorker(segment, false, probeParser_.get());
    }
    FinishWhenIdle();
  } else {
    BeginAddressEpisode(worker->ExpiredStatus());
  }
  return true;
}

void TclDownLoadItem::BeginAddressEpisode(int status) {
  auto* control = Control();
  // A new address that brought no byte before it was refused too did not help.
  failedRefreshes_ = refreshes_ > 0 && !bytesSinceRefresh_ ? failedRefreshes_ + 1 : 0;
  const std::string code = "HTTP " + std::to_string(status);
  if (failedRefreshes_ >= 2) {
    EndRefreshFailed("The server refused the stream address (" + code +
                         ") again after two new addresses that brought no data",
                     status);
    return;
  }
  if (control->Silent() || !control->OnAddressExpired) {
    EndRefreshFailed("The server refused the stream address (" + code + ")", status);
    return;
  }
  awaitingAddress_ = true;
  control->OnAddressExpired(control, this);
}

void TclDownLoadItem::ContinueWithAddress(const std::string& url) {
  VANTOREL_ASSERT_OWNER(Control()->OwnerQueue());
  if (!awaitingAddress_ || stopping_) return;
  awaitingAddress_ = false;
  url_ = url;
  ++addressGeneration_;
  ++refreshes_;
  bytesSinceRefresh_ = false;
  if (probing_) {
    // Refused at the probe: probe again, as a start does.
    probeParser_.reset();
    auto* segment = resourceState_.Count() > 0 ? resourceState_.Items(0) : nullptr;
    if (!LaunchWorker(segment, true, nullptr)) FinishWhenIdle();
    return;
  }
  // In the data phase the new address is probed first: its resource decides
  // whether the segments go on.
  refreshInfo_.reset();
  const auto holders = workers_.size();
  try {
    refreshProbe_ = CreateWorker(nullptr, true, nullptr);
    refreshProbe_->Resume();
  } catch (const std::exception& e) {
    workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(holders), workers_.end());
    refreshProbe_.reset();
    EndRefreshFailed(e.what(), 0);
  }
}

void TclDownLoadItem::FailAddressRefresh(const std::string& error) {
  VANTOREL_ASSERT_OWNER(Control()->OwnerQueue());
  if (!awaitingAddress_ || stopping_) return;
  EndRefreshFailed(error, 0);
}

void TclDownLoadItem::RefreshProbed(const TclDownLoadThreader& probe) {
  if (probe.AddressExpired()) {
    BeginAddressEpisode(probe.ExpiredStatus());
    return;
  }
  if (probe.Status() == psFailed || !refreshInfo_) {
    EndRefreshFailed(probe.LastError().empty() ? "The new stream address could not be probed"
                                               : probe.LastError(),
                     probe.LastErrorCode());
    return;
  }
  probeParser_ = std::make_unique<TclUrlParser>(probe.UrlParser());
  const TclResourceInfo* held = dataPhaseInfo_.get();
  if (held && held->Size == refreshInfo_->Size && held->ETag == refreshInfo_->ETag &&
      held->LastModified == refreshInfo_->LastModified) {
    ResumeWaitingSegments();
    FinishWhenIdle();
    return;
  }
  // Another resource: nothing of the old one may stay in the file, so the
  // workers still on it end before the file starts again.
  restartPending_ = true;
  for (auto& h : workers_) h.worker->Terminate();
  if (workers_.empty()) RestartWithRefreshedResource();
}

void TclDownLoadItem::ResumeWaitingSegments() {
  for (int i = 0; i < resourceState_.Count() && !stopping_; ++i) {
    auto* s = resourceState_.Items(i);
    if (s->Status() == psSuccess) continue;
    if (s->ResourceSize() > 0 && s->BytesProceed() >= s->ResourceSize()) continue;
    bool busy = std::any_of(workers_.begin(), workers_.end(),
                            [&](const THolder& h) { return h.segment == s; });
    if (busy) continue;
    s->SetStatus(psProcess);
    LaunchWorker(s, false, probeParser_.get());
  }
}

void TclDownLoadItem::RestartWithRefreshedResource() {
  restartPending_ = false;
  resourceInfo_ = std::move(refreshInfo_);
  DeleteSegments();
  // Another resource goes into a new file: the old one's bytes may still be
  // claimed (a journal's last commit) and must never be taken for the new one's.
  if (!streamSupplied_) dataStream_.reset();
  auto* control = Control();
  if (!control->Silent() && control->OnGetResourceInfo)
    control->OnGetResourceInfo(control, this, resourceInfo_.get());
  try {
    BeginDataPhase();  // a new file, segments from zero
  } catch (const std::exception& e) {
    EndRefreshFailed(e.what(), 0);
  }
}

void TclDownLoadItem::EndRefreshFailed(const std::string& error, int code) {
  awaitingAddress_ = false;
  AddError(error, code);
  resourceState_.SetLastStatus(psFailed);
  stopping_ = true;  // no further worker; the item ends failed once they are gone
  for (auto& h : workers_) h.worker->Terminate();
  UpdateStatus();
  FinishWhenIdle();
}

// A stop while the item waits for an address: nothing else would ever end it.
void TclDownLoadItem::EndAddressWait() {
  if (!awaitingAddress_ || finishPosted_) return;
  if (!workers_.empty()) {
    awaitingAddress_ = false;  // the last of them finishes the item
    return;
  }
  // From the owner's queue, not inside Stop: a stop of every item must not see
  // this one's end start a queued item halfway through.
  auto call = std::make_shared<platform::CallQueue::Posted>();
  call->fn = [this, life = std::weak_ptr<int>(life_)] {
    if (life.expired()) return;
    finishPosted_ = awaitingAddress_ = false;
    FinishWhenIdle();
  };
  try {
    Control()->OwnerQueue()->Post(call);
    finishPosted_ = true;
  } catch (const platform::CallQueueClosed&) {
    awaitingAddress_ = false;
    FinishWhenIdle();
  }
}

void TclDownLoadItem::FinishWhenIdle() {
  if (!workers_.empty() || awaitingAddress_ || sizing_) return;
  if (probing_) {
    EndOfProbe();
    return;
  }
  if (dataPhase_) {
    dataPhase_ = false;
    MakePreview();
  }
  Complete();
}
