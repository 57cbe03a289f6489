#pragma once
// Work taken over between the connections of one item: the recent speed of each
// connection, and where a connection that has finished cuts the tail off the one
// expected to finish last.
#include <chrono>
#include <cstdint>
#include <vector>

namespace worksteal {

using TClock = std::chrono::steady_clock;

// The recent speed of one connection and when it last brought data.
class TPace {
 public:
  // position: where the worker starts writing.
  explicit TPace(TClock::time_point now = TClock::now(), int64_t position = 0);
  // Where the worker has written up to (it only grows within one worker).
  void Note(TClock::time_point now, int64_t position);
  // Bytes per second over the last one to two seconds (since the start before
  // that); it falls while nothing comes.
  double Speed(TClock::time_point now) const;
  TClock::time_point Started() const { return started_; }
  bool Received() const { return bytes_ > startPosition_; }
  TClock::time_point LastData() const { return lastData_; }
  // The stall clock starts again (after the attempt was given up).
  void RestartStallClock(TClock::time_point now) { lastData_ = now; }

 private:
  TClock::time_point started_, lastData_, windowStart_, previousStart_;
  int64_t startPosition_ = 0, bytes_ = 0, windowBase_ = 0, previousBase_ = 0;
};

// A running segment that could give away its tail.
struct TCandidate {
  int64_t remaining = 0;  // bytes of its span still to come
  double speed = 0;       // bytes per second; <= 0: nothing came lately
  bool young = false;     // just started and nothing came yet: its speed means nothing
};

struct TPlan {
  int victim = -1;   // index into the candidates; -1 = nothing worth taking
  int64_t keep = 0;  // bytes of its remainder the victim keeps (the head)
};

// candidates: every running segment of the item. The one expected to finish last
// (remaining over speed) among those with at least minimum bytes to go, and the
// head it keeps: what it fetches by the time the item is expected to end with all
// that is left spread over all connections, the finisher's too (for two, a cut in
// proportion to their speeds). A young candidate counts as fast as the finisher.
TPlan PlanTakeOver(const std::vector<TCandidate>& candidates, double finisherSpeed,
                   int64_t minimum);

}  // namespace worksteal
