#include "download/clWorkSteal.h"

#include <algorithm>
#include <limits>

#include "download/clMultiDownLoader.h"

namespace worksteal {

namespace {
constexpr auto kWindow = std::chrono::seconds(1);
}

TPace::TPace(TClock::time_point now, int64_t position)
    : started_(now),
      lastData_(now),
      windowStart_(now),
      previousStart_(now),
      startPosition_(position),
      bytes_(position),
      windowBase_(position),
      previousBase_(position) {}

void TPace::Note(TClock::time_point now, int64_t position) {
  if (position > bytes_) lastData_ = now;
  bytes_ = position;
  if (now - windowStart_ >= kWindow) {
    previousStart_ = windowStart_;
    previousBase_ = windowBase_;
    windowStart_ = now;
    windowBase_ = bytes_;
  }
}

double TPace::Speed(TClock::time_point now) const {
  const double seconds = std::chrono::duration<double>(now - previousStart_).count();
  return seconds > 0 ? static_cast<double>(bytes_ - previousBase_) / seconds : 0;
}

TPlan PlanTakeOver(const std::vector<TCandidate>& candidates, double finisherSpeed,
                   int64_t minimum) {
  TPlan plan;
  auto speedOf = [&](const TCandidate& c) {
    return c.young && finisherSpeed > 0 ? finisherSpeed : c.speed;
  };
  double latest = -1;
  double totalSpeed = std::max(0.0, finisherSpeed);
  int64_t totalRemaining = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const auto& c = candidates[i];
    const double speed = speedOf(c);
    totalSpeed += std::max(0.0, speed);
    totalRemaining += c.remaining;
    if (c.remaining < minimum) continue;
    const double eta = speed > 0 ? static_cast<double>(c.remaining) / speed
                                 : std::numeric_limits<double>::infinity();
    if (plan.victim < 0 || eta > latest ||
        (eta == latest && c.remaining > candidates[plan.victim].remaining)) {
      plan.victim = static_cast<int>(i);
      latest = eta;
    }
  }
  if (plan.victim < 0) return plan;
  const auto& victim = candidates[plan.victim];
  const double victimSpeed = std::max(0.0, speedOf(victim));
  if (totalSpeed <= 0) {
    plan.keep = victim.remaining / 2;
    return plan;
  }
  // The victim keeps what it fetches by the time the item is expected to end, when
  // everything left is spread over every connection (finishers go on taking over);
  // with only the two of them, both parts end together.
  const double end = static_cast<double>(totalRemaining) / totalSpeed;
  plan.keep = std::min(victim.remaining, static_cast<int64_t>(victimSpeed * end));
  return plan;
}

}  // namespace worksteal

// --- The worker's side: a span whose end can move back ---

int64_t TclDownLoadThreader::SpanLeftLocked() const {
  return !spanKnown_ ? -1 : spanStart_ + remainingLength_ - startPosition_;
}

int64_t TclDownLoadThreader::SpanLeft() const {
  if (!DataLock) return SpanLeftLocked();
  std::lock_guard lock(*DataLock);
  return SpanLeftLocked();
}

int64_t TclDownLoadThreader::ShrinkSpan(int64_t end) {
  if (!DataLock) return -1;  // a worker of no item
  std::lock_guard lock(*DataLock);
  if (!spanKnown_) return -1;
  const int64_t current = spanStart_ + remainingLength_;
  end = std::clamp(end, startPosition_, current);
  remainingLength_ = end - spanStart_;
  return end;
}

int64_t TclDownLoadThreader::SpanEnd() const {
  std::unique_lock<std::mutex> lock;
  if (DataLock) lock = std::unique_lock(*DataLock);
  return !spanKnown_ ? -1 : spanStart_ + remainingLength_;
}

void TclDownLoadThreader::AbortAttempt() {
  std::shared_ptr<TclInternetConnection> connection;
  {
    std::lock_guard lock(attemptLock_);
    connection = attemptConnection_;
  }
  if (connection) connection->Cancel();
}

// --- The item's side: who takes over what ---

bool TclDownLoadItem::TakeOverWork(const TclDownLoadThreader* finished,
                                   const worksteal::TPace& pace) {
  auto* control = Control();
  // One connection per item (kept or shared) or an unsplittable resource: nothing to share.
  if (stopping_ || keepConnection_ || control->Connection || !resourceInfo_ ||
      !resourceInfo_->CanSplit())
    return false;
  // The finished worker still has its holder: one more makes up for it.
  if (static_cast<int>(workers_.size()) > threadCount_) return false;
  const TclUrlParser parser = finished->UrlParser();

  // A segment kept from an earlier run that has had no connection yet comes first.
  for (int i = 0; i < resourceState_.Count(); ++i) {
    auto* s = resourceState_.Items(i);
    if (s->Status() != psUnknown || s->ResourceSize() <= 0 ||
        s->BytesProceed() >= s->ResourceSize())
      continue;
    if (std::any_of(workers_.begin(), workers_.end(),
                    [&](const THolder& h) { return h.segment == s; }))
      continue;
    s->SetStatus(psProcess);
    return LaunchWorker(s, false, &parser);
  }

  const auto now = worksteal::TClock::now();
  std::vector<worksteal::TCandidate> candidates;
  std::vector<size_t> holders;
  for (size_t i = 0; i < workers_.size(); ++i) {
    const THolder& h = workers_[i];
    if (h.worker.get() == finished || !h.segment || h.segment->Status() != psProcess ||
        h.segment->ResourceSize() <= 0)
      continue;
    candidates.push_back({h.segment->ResourceSize() - h.segment->BytesProceed(), h.pace.Speed(now),
                          !h.pace.Received() && now - h.pace.Started() < std::chrono::seconds(1)});
    holders.push_back(i);
  }
  const auto plan = worksteal::PlanTakeOver(candidates, pace.Speed(now), control->TakeOverMinimum);
  if (plan.victim < 0) return false;

  THolder& slow = workers_[holders[static_cast<size_t>(plan.victim)]];
  TclResourceStateItem* segment = slow.segment;
  const int64_t oldEnd = slow.worker->SpanEnd();
  if (oldEnd != segment->ResourcePos() + segment->ResourceSize()) return false;
  // The slow worker's end moves back first, under the item's lock; what it has
  // written by then stays its own.
  const int64_t end =
      slow.worker->ShrinkSpan(segment->ResourcePos() + segment->BytesProceed() + plan.keep);
  if (end < 0 || end >= oldEnd) return false;
  auto slowWorker = slow.worker;
  TclResourceStateItem* tail = nullptr;
  if (end == segment->ResourcePos()) {
    // Nothing of it was written yet: the whole segment changes hands.
    slow.segment = nullptr;
    tail = segment;
  } else {
    segment->SetResourceSize(end - segment->ResourcePos());
    tail = resourceState_.Add();
    tail->SetResourcePos(end);
    tail->SetResourceSize(oldEnd - end);
  }
  tail->SetStatus(psProcess);
  // A worker left with nothing to fetch ends now instead of after its current read.
  if (slowWorker->SpanLeft() == 0) slowWorker->AbortAttempt();
  return LaunchWorker(tail, false, &parser);
}

void TclDownLoadItem::CheckStalled(const TclDownLoadThreader* progressing) {
  const auto now = worksteal::TClock::now();
  if (now - lastStallCheck_ < std::chrono::milliseconds(200)) return;
  lastStallCheck_ = now;
  const auto limit = Control()->StallTimeOut;
  for (auto& h : workers_) {
    if (h.worker.get() == progressing || !h.segment || h.worker->IsGetResourceInfo()) continue;
    if (now - h.pace.LastData() < limit) continue;
    h.pace.RestartStallClock(now);
    h.worker->AbortAttempt();
  }
}
